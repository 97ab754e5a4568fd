#include "engine/pdfdocument.h"
#include "engine/platformfs.h"
#include "testsupport.h"

#include <QCryptographicHash>

#include <QTemporaryDir>
#include <QtTest>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <csignal>
#include <stdexcept>
#include <sys/resource.h>

using namespace Qt::StringLiterals;

class TestPublish : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void firstFreeName();
    void folderAndFileShareNames();
    void danglingLinkIsTaken();
    void allCandidatesTaken();
    void failuresAreNotNameClashes_data();
    void failuresAreNotNameClashes();
    void claimFallbackNeverReplaces_data();
    void claimFallbackNeverReplaces();
    void writeRefusesFailures();
    void encryptedResultsAreReadBack();
    void safeWriteLeavesNothingBehind();

private:
    QString staged(const QByteArray& content = "%PDF-1.7 staged");
    std::unique_ptr<QTemporaryDir> m_out;
    std::unique_ptr<QTemporaryDir> m_staging;
};

void TestPublish::init()
{
    m_out = std::make_unique<QTemporaryDir>();
    m_staging = std::make_unique<QTemporaryDir>();
}

QString TestPublish::staged(const QByteArray& content)
{
    static int counter = 0;
    const QString path = m_staging->filePath(u"result-%1.pdf"_s.arg(++counter));
    testsupport::writeBytes(path, content);
    return path;
}

void TestPublish::firstFreeName()
{
    const QString folder = m_out->path();
    const QString first = batch::publishResult(staged("one"), folder, u"report-加密"_s, u".pdf"_s);
    QCOMPARE(first, folder + u"/report-加密.pdf"_s);
    const QString second = batch::publishResult(staged("two"), folder, u"report-加密"_s, u".pdf"_s);
    QCOMPARE(second, folder + u"/report-加密 (1).pdf"_s);
    QCOMPARE(testsupport::sha256File(first), testsupport::sha256File(staged("one")));

    QVERIFY(QDir(m_staging->path()).mkpath(u"parts"_s));
    testsupport::writeBytes(m_staging->filePath(u"parts/part-0001.pdf"_s), "p");
    QCOMPARE(
        batch::publishResult(m_staging->filePath(u"parts"_s), folder, u"report-拆分"_s, QString()),
        folder + u"/report-拆分"_s);
    QVERIFY(QFileInfo(folder + u"/report-拆分/part-0001.pdf"_s).isFile());
}

void TestPublish::folderAndFileShareNames()
{
    QVERIFY(QDir(m_out->path()).mkdir(u"report-加密.pdf"_s));
    QCOMPARE(batch::publishResult(staged(), m_out->path(), u"report-加密"_s, u".pdf"_s),
             m_out->path() + u"/report-加密 (1).pdf"_s);
    QVERIFY(QFileInfo(m_out->filePath(u"report-加密.pdf"_s)).isDir());
}

void TestPublish::danglingLinkIsTaken()
{
    const QString link = m_out->filePath(u"doc-旋转.pdf"_s);
    QVERIFY(QFile::link(m_out->filePath(u"nowhere"_s), link));
    QCOMPARE(batch::publishResult(staged(), m_out->path(), u"doc-旋转"_s, u".pdf"_s),
             m_out->path() + u"/doc-旋转 (1).pdf"_s);
    QVERIFY(QFileInfo(link).isSymLink());
    QVERIFY(!QFileInfo::exists(m_out->filePath(u"nowhere"_s)));
}

void TestPublish::allCandidatesTaken()
{
    const QString target = m_out->filePath(u"elsewhere"_s);
    for (int i = 0; i < 10000; ++i) {
        const QString name = i == 0 ? u"x-优化.pdf"_s : u"x-优化 (%1).pdf"_s.arg(i);
        QVERIFY(QFile::link(target, m_out->filePath(name)));
    }
    const QString source = staged();
    QCOMPARE(batch::publishResult(source, m_out->path(), u"x-优化"_s, u".pdf"_s), QString());
    QVERIFY(QFileInfo(source).isFile());
    QCOMPARE(testsupport::folderEntries(m_out->path()).size(), 10000);
}

void TestPublish::failuresAreNotNameClashes_data()
{
    QTest::addColumn<QString>("staged");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    const QString gone = u"STAGING/gone.pdf"_s;
    QTest::newRow("staged file missing") << gone << u"OUT"_s << u"a"_s << u"（"_s;
    // 86 Chinese characters: 258 bytes, one name over what Linux takes.
    QTest::newRow("name too long")
        << u"STAGED"_s << u"OUT"_s << QString(86, QChar(0x6587)) << u"文件名或路径过长"_s;
    QTest::newRow("folder missing") << u"STAGED"_s << u"OUT/missing"_s << u"a"_s << u"（"_s;
}

void TestPublish::failuresAreNotNameClashes()
{
    // Each stops at once with the system's reason, instead of walking every
    // candidate name as if it were taken.
    QFETCH(QString, staged);
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(QString, reason);
    staged.replace(u"STAGING"_s, m_staging->path());
    if (staged == u"STAGED"_s)
        staged = this->staged();
    folder.replace(u"OUT"_s, m_out->path());
    try {
        batch::publishResult(staged, folder, name, u".pdf"_s);
        QFAIL("publishing must fail");
    } catch (const std::runtime_error& error) {
        const QString message = QString::fromUtf8(error.what());
        QVERIFY2(message.startsWith(u"无法保存结果："_s) && message.contains(reason),
                 qPrintable(message));
    }
    QVERIFY(testsupport::folderEntries(m_out->path()).isEmpty());
}

void TestPublish::claimFallbackNeverReplaces_data()
{
    QTest::addColumn<bool>("folder");
    QTest::addColumn<QString>("present"); // what is at the target beforehand
    QTest::addColumn<bool>("moved");
    QTest::addColumn<bool>("hardLinks"); // false: as where the file system refuses them
    for (const int kindIndex : {0, 1, 2}) {
        const bool folder = kindIndex == 1;
        const bool hardLinks = kindIndex != 2;
        const char* kind = kindIndex == 0 ? "file" : kindIndex == 1 ? "folder" : "file, no links";
        QTest::addRow("%s to a free name", kind) << folder << QString() << true << hardLinks;
        QTest::addRow("%s onto a file", kind) << folder << u"file"_s << false << hardLinks;
        QTest::addRow("%s onto an empty file", kind)
            << folder << u"nothing"_s << false << hardLinks;
        QTest::addRow("%s onto an empty folder", kind)
            << folder << u"empty"_s << false << hardLinks;
        QTest::addRow("%s onto a folder", kind) << folder << u"folder"_s << false << hardLinks;
        QTest::addRow("%s onto a dangling link", kind) << folder << u"link"_s << false << hardLinks;
    }
}

void TestPublish::claimFallbackNeverReplaces()
{
    // The path taken where the file system refuses an atomic rename without
    // replacing (NFS, some FUSE file systems).
    QFETCH(bool, folder);
    QFETCH(QString, present);
    QFETCH(bool, moved);
    QFETCH(bool, hardLinks);
    QString source = staged("moved");
    if (folder) {
        source = m_staging->filePath(u"parts"_s);
        QVERIFY(QDir().mkdir(source));
        testsupport::writeBytes(source + u"/part-0001.pdf"_s, "moved");
    }
    const QString target = m_out->filePath(u"doc-拆分"_s);
    if (present == u"file"_s)
        testsupport::writeBytes(target, "theirs");
    else if (present == u"nothing"_s)
        testsupport::writeBytes(target, QByteArray());
    else if (present == u"empty"_s)
        QVERIFY(QDir().mkdir(target));
    else if (present == u"folder"_s) {
        QVERIFY(QDir().mkdir(target));
        testsupport::writeBytes(target + u"/part-0001.pdf"_s, "theirs");
    } else if (present == u"link"_s)
        QVERIFY(QFile::link(m_out->filePath(u"nowhere"_s), target));
    const QStringList before = testsupport::folderEntries(m_out->path());

    QCOMPARE(batch::renameNoReplaceByClaim(source, target, hardLinks), moved);
    QCOMPARE(QFileInfo::exists(source), !moved);
    const QString movedFile = folder ? target + u"/part-0001.pdf"_s : target;
    if (moved) {
        QCOMPARE(testsupport::sha256File(movedFile),
                 QCryptographicHash::hash("moved", QCryptographicHash::Sha256));
        return;
    }
    QCOMPARE(testsupport::folderEntries(m_out->path()), before);
    if (present == u"file"_s || present == u"folder"_s) {
        QCOMPARE(
            testsupport::sha256File(present == u"file"_s ? target : target + u"/part-0001.pdf"_s),
            QCryptographicHash::hash("theirs", QCryptographicHash::Sha256));
    }
    if (present == u"empty"_s)
        QVERIFY(QDir(target).isEmpty());
    if (present == u"nothing"_s)
        QCOMPARE(QFileInfo(target).size(), 0);
    if (present == u"link"_s)
        QVERIFY(QFileInfo(target).isSymLink() && !QFileInfo::exists(m_out->filePath(u"nowhere"_s)));
}

void TestPublish::writeRefusesFailures()
{
    testsupport::writePdf(m_staging->filePath(u"src.pdf"_s), {.pages = 2});
    const batch::PdfDocument document = batch::read(m_staging->filePath(u"src.pdf"_s), QString());
    try {
        batch::writeDocument(m_out->filePath(u"no/such/folder/result.pdf"_s), document);
        QFAIL("writing into a missing folder must fail");
    } catch (const std::runtime_error& error) {
        QVERIFY(QString::fromUtf8(error.what()).startsWith(u"输出失败："_s));
    }
    // /dev/full accepts the open and loses every byte: nothing valid was produced.
    if (QFileInfo::exists(u"/dev/full"_s)) {
        try {
            batch::writeDocument(u"/dev/full"_s, document);
            QFAIL("a write that loses its bytes must fail");
        } catch (const std::runtime_error& error) {
            const QString message = QString::fromUtf8(error.what());
            QVERIFY2(message.startsWith(u"输出失败："_s) || message == u"没有生成有效的 PDF。"_s,
                     qPrintable(message));
        }
    }
}

void TestPublish::safeWriteLeavesNothingBehind()
{
    testsupport::writePdf(m_staging->filePath(u"src.pdf"_s),
                          {.pages = 40, .duplicateImages = true});
    const batch::PdfDocument document = batch::read(m_staging->filePath(u"src.pdf"_s), QString());
    const QString path = m_out->filePath(u"result.pdf"_s);
    testsupport::writeBytes(path, "earlier");

    // A full disk, played by a file-size limit: the earlier file stays as it
    // was and no partial file is left.
    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{16 * 1024, saved.rlim_max};
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool failed = false;
    try {
        batch::writeDocumentSafely(path, document);
    } catch (const std::runtime_error&) {
        failed = true;
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    QVERIFY(failed);
    QCOMPARE(testsupport::folderEntries(m_out->path()), QStringList{u"result.pdf"_s});
    QCOMPARE(testsupport::sha256File(path),
             QCryptographicHash::hash("earlier", QCryptographicHash::Sha256));

    // With room, the file is replaced.
    batch::writeDocumentSafely(path, document);
    QCOMPARE(testsupport::folderEntries(m_out->path()), QStringList{u"result.pdf"_s});
    QCOMPARE(testsupport::inspectPdf(path).markers.size(), 40);
}

void TestPublish::encryptedResultsAreReadBack()
{
    // An encrypted source whose first page's content does not decode (a
    // damaged Flate stream, as real files have): the result keeps the
    // protection and is written, because the source was already so; the
    // read-back refuses only what the writing broke.
    const QString source = m_staging->filePath(u"damaged.pdf"_s);
    {
        QPDF pdf;
        pdf.emptyPDF();
        QPDFObjectHandle page = pdf.makeIndirectObject(
            QPDFObjectHandle::parse("<< /Type /Page /MediaBox [0 0 612 792] >>"));
        QPDFObjectHandle content = pdf.newStream();
        content.replaceStreamData("not deflated at all", QPDFObjectHandle::newName("/FlateDecode"),
                                  QPDFObjectHandle::newNull());
        page.replaceKey("/Contents", content);
        QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
        const QByteArray file = QFile::encodeName(source);
        QPDFWriter writer(pdf, file.constData());
        writer.setStreamDataMode(qpdf_s_preserve);
        writer.setR6EncryptionParameters("u", "o", true, true, true, true, true, true,
                                         qpdf_r3p_full, true);
        writer.write();
    }
    const batch::PdfDocument document = batch::read(source, u"o"_s);
    const QString result = m_out->filePath(u"result.pdf"_s);
    batch::writeDocument(result, document);
    QVERIFY(testsupport::inspectPdf(result, "o").ownerMatched);
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
