#include "engine/filesource.h"
#include "engine/pdfdocument.h"
#include "protocol/protocol.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

#include <qpdf/Buffer.hh>
#include <qpdf/BufferInputSource.hh>

using namespace Qt::StringLiterals;
using testsupport::Encryption;
using testsupport::PdfRecipe;

namespace {

// The message `read` refuses with, or "" when it admits the file.
QString admissionMessage(const QString& path, const QString& password = QString())
{
    try {
        batch::read(path, password);
        return QString();
    } catch (const std::runtime_error& error) {
        return QString::fromUtf8(error.what());
    }
}

QString rightsMessage(void (*check)(const batch::PdfDocument&), const batch::PdfDocument& doc)
{
    try {
        check(doc);
        return QString();
    } catch (const std::runtime_error& error) {
        return QString::fromUtf8(error.what());
    }
}

const QString unreadable = u"PDF 文件不存在或无法读取。"_s;
const QString sizeMessage = u"单文件需大于 0 字节且不超过 512 MB。"_s;
const QString readFailure = u"无法读取 PDF："_s;
const QString signedMessage =
    u"文档带有数字签名，批量处理会使签名失效，因此未处理。如需修改，请在签署该文档的程序中进行。"_s;

} // namespace

class TestAdmission : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void suffixAndKind();
    void sizeLimits();
    void damagedAndForeignBytes();
    void passwords();
    void signatures_data();
    void signatures();
    void rights();
    void fileSourceMatchesMemory();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestAdmission::suffixAndKind()
{
    const QByteArray pdf = testsupport::makePdf({});
    for (const QString& name : {u"upper.PDF"_s, u"年度报告.pdf"_s}) {
        testsupport::writeBytes(path(name), pdf);
        QCOMPARE(admissionMessage(path(name)), QString());
    }
    for (const QString& name : {u"backup.pdf.bak"_s, u"nosuffix"_s}) {
        testsupport::writeBytes(path(name), pdf);
        QCOMPARE(admissionMessage(path(name)), unreadable);
    }
    QVERIFY(QDir(m_dir.path()).mkdir(u"folder.pdf"_s));
    QCOMPARE(admissionMessage(path(u"folder.pdf"_s)), unreadable);
    QCOMPARE(admissionMessage(path(u"missing.pdf"_s)), unreadable);
}

void TestAdmission::sizeLimits()
{
    testsupport::writeBytes(path(u"empty.pdf"_s), QByteArray());
    QCOMPARE(admissionMessage(path(u"empty.pdf"_s)), sizeMessage);

    testsupport::writeSparsePdf(path(u"big.pdf"_s), batch::maxSourceBytes);
    QCOMPARE(admissionMessage(path(u"big.pdf"_s)), QString());
    testsupport::writeSparsePdf(path(u"big.pdf"_s), batch::maxSourceBytes + 1);
    QCOMPARE(admissionMessage(path(u"big.pdf"_s)), sizeMessage);
    QFile::remove(path(u"big.pdf"_s));
}

void TestAdmission::damagedAndForeignBytes()
{
    // A Chinese reason first; the library's English only on the lines after it.
    testsupport::writeBytes(path(u"html.pdf"_s), "<html><body>not a pdf</body></html>");
    QByteArray pdf = testsupport::makePdf({.pages = 3});
    testsupport::writeBytes(path(u"truncated.pdf"_s), pdf.left(pdf.size() / 2));
    for (const QString& name : {u"html.pdf"_s, u"truncated.pdf"_s}) {
        const QString message = admissionMessage(path(name));
        QVERIFY2(message.startsWith(readFailure), qPrintable(message));
        QVERIFY2(!batch::userLine(message).contains(QRegularExpression(u"[A-Za-z]{4,}"_s)),
                 qPrintable(message));
        QVERIFY(message.contains(u'\n')); // the library's own text follows
    }
}

void TestAdmission::passwords()
{
    PdfRecipe recipe{.pages = 2,
                     .encryption = Encryption::R6Aes256,
                     .userPassword = "open",
                     .ownerPassword = "owner"};
    testsupport::writePdf(path(u"locked.pdf"_s), recipe);
    // A wrong password is said in Chinese, without the library's English.
    const QString wrongPassword = readFailure + u"所给密码无法打开此文档，请检查密码。"_s;
    QCOMPARE(admissionMessage(path(u"locked.pdf"_s), u"wrong"_s), wrongPassword);
    QCOMPARE(admissionMessage(path(u"locked.pdf"_s)), wrongPassword);
    // Either password admits it; what the open password allows is asked later.
    QCOMPARE(admissionMessage(path(u"locked.pdf"_s), u"open"_s), QString());
    QCOMPARE(admissionMessage(path(u"locked.pdf"_s), u"owner"_s), QString());

    // Restrictions only: the empty open password reads it.
    recipe = {.encryption = Encryption::R4Aes128, .ownerPassword = "owner"};
    testsupport::writePdf(path(u"restricted.pdf"_s), recipe);
    QCOMPARE(admissionMessage(path(u"restricted.pdf"_s)), QString());
    QCOMPARE(admissionMessage(path(u"restricted.pdf"_s), u"owner"_s), QString());

    // Non-ASCII owner passwords reach the library as UTF-8.
    recipe = {
        .encryption = Encryption::R6Aes256, .userPassword = "u", .ownerPassword = "所有者密码"};
    testsupport::writePdf(path(u"chinese.pdf"_s), recipe);
    QCOMPARE(admissionMessage(path(u"chinese.pdf"_s), u"所有者密码"_s), QString());
}

void TestAdmission::signatures_data()
{
    QTest::addColumn<int>("sigFlags");
    QTest::addColumn<bool>("signedField");
    QTest::addColumn<bool>("unsignedField");
    QTest::addColumn<bool>("docMdp");
    QTest::addColumn<bool>("refused");
    QTest::newRow("append-only flag") << 3 << false << false << false << true;
    QTest::newRow("signatures-exist flag only") << 1 << false << false << false << false;
    QTest::newRow("signed field") << -1 << true << false << false << true;
    QTest::newRow("unsigned field") << -1 << false << true << false << false;
    QTest::newRow("DocMDP without signature") << -1 << false << false << true << true;
}

void TestAdmission::signatures()
{
    QFETCH(int, sigFlags);
    QFETCH(bool, signedField);
    QFETCH(bool, unsignedField);
    QFETCH(bool, docMdp);
    QFETCH(bool, refused);
    testsupport::writePdf(path(u"sig.pdf"_s), {.sigFlags = sigFlags,
                                               .signedField = signedField,
                                               .unsignedField = unsignedField,
                                               .docMdp = docMdp});
    QCOMPARE(admissionMessage(path(u"sig.pdf"_s)), refused ? signedMessage : QString());
}

void TestAdmission::rights()
{
    testsupport::writePdf(path(u"plain.pdf"_s), {});
    const batch::PdfDocument plain = batch::read(path(u"plain.pdf"_s), QString());
    QCOMPARE(rightsMessage(batch::checkMergeRights, plain), QString());
    QCOMPARE(rightsMessage(batch::checkExtractRights, plain), QString());
    QCOMPARE(rightsMessage(batch::checkModifyRights, plain), QString());

    // Forms are merged, extracted and split; XFA forms are not.
    testsupport::writePdf(path(u"form.pdf"_s), {.emptyAcroForm = true});
    const batch::PdfDocument form = batch::read(path(u"form.pdf"_s), QString());
    QCOMPARE(rightsMessage(batch::checkMergeRights, form), QString());
    QCOMPARE(rightsMessage(batch::checkExtractRights, form), QString());
    QCOMPARE(rightsMessage(batch::checkModifyRights, form), QString());
    testsupport::writePdf(path(u"xfa.pdf"_s), {.xfa = true});
    const batch::PdfDocument xfa = batch::read(path(u"xfa.pdf"_s), QString());
    QCOMPARE(rightsMessage(batch::checkMergeRights, xfa),
             u"文档带有 XFA 动态表单，其内容不在页面中，合并后无法保留，因此未合并。"_s);
    QCOMPARE(rightsMessage(batch::checkExtractRights, xfa),
             u"文档带有 XFA 动态表单，其内容不在页面中，拆分或提取后无法保留，因此未处理。"_s);

    // Restrictions bind users, not the owner; refused, a user is told which
    // permission is missing and that the owner password lifts it.
    testsupport::writePdf(path(u"enc.pdf"_s), {.encryption = Encryption::R6Aes256,
                                               .userPassword = "u",
                                               .ownerPassword = "o",
                                               .allowModify = false,
                                               .allowExtract = false,
                                               .allowAssemble = false});
    const batch::PdfDocument byOwner = batch::read(path(u"enc.pdf"_s), u"o"_s);
    const batch::PdfDocument byUser = batch::read(path(u"enc.pdf"_s), u"u"_s);
    const auto missing = [](const QString& permission) {
        return u"所给密码只能打开此文档，文档权限不允许“%1”。请提供所有者密码后再试。"_s.arg(
            permission);
    };
    const QString assemble = missing(u"组合页面（插入、删除、旋转页面）"_s);
    for (const auto& [check, refusal] :
         std::initializer_list<std::pair<void (*)(const batch::PdfDocument&), QString>>{
             {batch::checkMergeRights, assemble},
             {batch::checkExtractRights, assemble},
             {batch::checkRotateRights, assemble},
             {batch::checkModifyRights, missing(u"修改文档"_s)},
             {batch::checkCopyRights, missing(u"复制内容"_s)}}) {
        QCOMPARE(rightsMessage(check, byOwner), QString());
        QCOMPARE(rightsMessage(check, byUser), refusal);
    }
}

QTEST_GUILESS_MAIN(TestAdmission)
void TestAdmission::fileSourceMatchesMemory()
{
    // The file input must behave exactly as QPDF's own input over the same bytes:
    // random reads across its window edges, seeks from all three origins, line
    // ends of every kind, and positions past the end.
    QRandomGenerator random(20261207);
    QByteArray bytes;
    const char* pieces[] = {"obj\r\n", "\n\n\r", "stream\r", "endobj\n", "xref", "%%EOF"};
    while (bytes.size() < 300000) {
        if (random.bounded(3) == 0)
            bytes += pieces[random.bounded(6)];
        else
            bytes += QByteArray(random.bounded(1, 9000), char('a' + random.bounded(26)));
    }
    testsupport::writeBytes(path(u"源.pdf"_s), bytes);

    std::shared_ptr<InputSource> file = batch::openFileSource(path(u"源.pdf"_s));
    Buffer memory(reinterpret_cast<unsigned char*>(bytes.data()), size_t(bytes.size()));
    BufferInputSource reference(file->getName(), &memory);
    QCOMPARE(QString::fromStdString(file->getName()), path(u"源.pdf"_s));

    std::vector<char> a(200000);
    std::vector<char> b(200000);
    for (int step = 0; step < 20000; ++step) {
        switch (random.bounded(6)) {
        case 0: {
            const qint64 offset = random.bounded(bytes.size() + 100);
            const int whence = std::array{SEEK_SET, SEEK_CUR, SEEK_END}[random.bounded(3)];
            const qint64 target = whence == SEEK_SET   ? offset
                                  : whence == SEEK_END ? -random.bounded(bytes.size())
                                                       : offset - file->tell();
            file->seek(target, whence);
            reference.seek(target, whence);
            break;
        }
        case 1:
        case 2: {
            const size_t length =
                random.bounded(4) == 0 ? random.bounded(200000) : random.bounded(300);
            const size_t got = file->read(a.data(), length);
            QCOMPARE(got, reference.read(b.data(), length));
            QVERIFY(std::equal(a.begin(), a.begin() + qsizetype(got), b.begin()));
            QCOMPARE(file->getLastOffset(), reference.getLastOffset());
            break;
        }
        case 3:
            QCOMPARE(file->findAndSkipNextEOL(), reference.findAndSkipNextEOL());
            break;
        case 4:
            QCOMPARE(file->readLine(200), reference.readLine(200));
            break;
        case 5:
            file->unreadCh('x');
            reference.unreadCh('x');
            break;
        }
        QCOMPARE(file->tell(), reference.tell());
    }
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, file->seek(-1, SEEK_SET));
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, batch::openFileSource(path(u"missing.pdf"_s)));
}

#include "tst_admission.moc"
