#include "engine/pdfdocument.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

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
    void missingStagedFileIsNotRetried();
    void writeRefusesFailures();

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

void TestPublish::missingStagedFileIsNotRetried()
{
    // A failure that is not a name clash stops at once instead of walking all names.
    QCOMPARE(
        batch::publishResult(m_staging->filePath(u"gone.pdf"_s), m_out->path(), u"a"_s, u".pdf"_s),
        QString());
    QVERIFY(testsupport::folderEntries(m_out->path()).isEmpty());
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

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
