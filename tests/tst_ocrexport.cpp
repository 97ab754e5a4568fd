// Layout reconstruction and the two editable writers: rules on constructed
// lines, the exact package text, and real scans end to end.
#include "ocr/export/layout.h"
#include "ocr/ocrworker.h"
#include "testsupport.h"

#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <QXmlStreamReader>

#include <poppler/qt6/poppler-qt6.h>

using namespace Qt::StringLiterals;

namespace {

batch::TextLine line(const QString& text, QRectF box, double fontSize, int paragraph = 0)
{
    batch::TextLine result;
    result.text = text;
    result.box = box;
    result.fontSize = fontSize;
    result.paragraphId = paragraph;
    result.confidence = 90;
    return result;
}

QImage picture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(QColor(30, 120, 200));
    return image;
}

// Three pages of different sizes: text blocks, a picture, a block at the bottom edge.
QList<batch::PageLayout> sampleJob()
{
    batch::PageLayout first;
    first.pageSize = QSizeF(595.2, 841.8);
    first.blocks =
        batch::groupLines({line(u"Quarterly report & <summary>"_s, QRectF(72, 80, 300, 24), 22),
                           line(u"  second line"_s, QRectF(80, 110, 250, 12), 11),
                           line(u"third\fline"_s, QRectF(72, 126, 260, 12), 11)});
    first.images = {{QRectF(72, 300, 200, 100), picture(40, 20)}};
    batch::PageLayout second;
    second.pageSize = QSizeF(612, 792);
    second.blocks = batch::groupLines({line(u"中文段落"_s, QRectF(50, 770, 100, 22), 20)});
    batch::PageLayout third;
    third.pageSize = QSizeF(842, 595);
    third.images = {{QRectF(10, 10, 50, 50), picture(10, 10)}};
    return {first, second, third};
}

QByteArray unzipEntry(const QString& archive, const QString& entry)
{
    QString pattern = entry; // unzip reads entry names as wildcard patterns
    pattern.replace(u"["_s, u"\\["_s).replace(u"]"_s, u"\\]"_s);
    QProcess unzip;
    unzip.start(u"unzip"_s, {u"-p"_s, archive, pattern});
    unzip.waitForFinished(60000);
    return unzip.readAllStandardOutput();
}

// The text LibreOffice reads from a document, through its own PDF export, with
// white space removed; "" when it could not convert it.
QString officeText(const QString& document, const QString& folder)
{
    QTemporaryDir profile;
    QProcess office;
    office.start(u"soffice"_s,
                 {u"-env:UserInstallation=file://"_s + profile.path(), u"--headless"_s,
                  u"--convert-to"_s, u"pdf"_s, u"--outdir"_s, folder, document});
    if (!office.waitForFinished(240000))
        return QString();
    const QString pdf = folder + u'/' + QFileInfo(document).completeBaseName() + u".pdf"_s;
    QString text;
    for (int page = 0; page < testsupport::popplerPageCount(pdf); ++page)
        text += testsupport::popplerText(pdf, page);
    return text.remove(u' ').remove(u'\n');
}

bool wellFormed(const QByteArray& xml)
{
    QXmlStreamReader reader(xml);
    while (!reader.atEnd())
        reader.readNext();
    return !reader.hasError();
}

} // namespace

class TestOcrExport : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void fontSizesAndMedian();
    void joinRules_data();
    void joinRules();
    void textHelpers();
    void docxPackage();
    void docxOpensInLibreOffice();
    void rebuiltPdfPlacesEveryLine();
    void cancellationLeavesNoFile();
    void emptyJobs();
    void workerWritesEditableOutputs();
    void operationWritesEditableOutputs_data();
    void operationWritesEditableOutputs();

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_models;
};

void TestOcrExport::initTestCase()
{
    QVERIFY(testsupport::fillModelsFolder(m_models.path()));
}

void TestOcrExport::fontSizesAndMedian()
{
    QCOMPARE(batch::fontSizeForHeight(4), 5.0);
    QCOMPARE(batch::fontSizeForHeight(100), 72.0);
    QCOMPARE(batch::fontSizeForHeight(20), 19.0);
    QCOMPARE(batch::medianFontSize({}), 12.0);

    QList<batch::TextLine> lines{line(u"a"_s, QRectF(0, 0, 100, 10), 10, 0),
                                 line(u"b"_s, QRectF(0, 100, 100, 11), 11, 1),
                                 line(u"c"_s, QRectF(0, 200, 100, 30), 30, 2)};
    QCOMPARE(batch::medianFontSize(lines), 11.0);
    const QList<batch::TextBlock> blocks = batch::groupLines(lines);
    QCOMPARE(blocks.size(), 3);
    QCOMPARE(blocks.at(0).lines.first().fontSize, 11.0); // snapped
    QVERIFY(!blocks.at(1).lines.first().bold);
    QVERIFY(blocks.at(2).lines.first().bold);

    QList<batch::TextLine> even;
    for (const double size : {16.0, 10.0, 14.0, 12.0})
        even << line(u"x"_s, QRectF(), size);
    QCOMPARE(batch::medianFontSize(even), 14.0);
}

void TestOcrExport::joinRules_data()
{
    QTest::addColumn<QRectF>("secondBox");
    QTest::addColumn<double>("secondSize");
    QTest::addColumn<int>("secondParagraph");
    QTest::addColumn<bool>("joins");
    // First line: (100, 100) 200 × 12, size 12, paragraph 0; the median is 12.
    QTest::newRow("gap of 3") << QRectF(100, 115, 200, 12) << 12.0 << 0 << true;
    QTest::newRow("gap of 18") << QRectF(100, 130, 200, 12) << 12.0 << 0 << false;
    QTest::newRow("overlap of 2") << QRectF(100, 110, 200, 12) << 12.0 << 0 << true;
    QTest::newRow("overlap of 3") << QRectF(100, 109, 200, 12) << 12.0 << 0 << false;
    QTest::newRow("other paragraph") << QRectF(100, 113, 200, 12) << 12.0 << 1 << false;
    QTest::newRow("little horizontal overlap") << QRectF(290, 113, 200, 12) << 12.0 << 0 << false;
    QTest::newRow("enough horizontal overlap") << QRectF(200, 113, 200, 12) << 12.0 << 0 << true;
    QTest::newRow("size differs") << QRectF(100, 113, 200, 12) << 16.0 << 0 << false;
}

void TestOcrExport::joinRules()
{
    QFETCH(QRectF, secondBox);
    QFETCH(double, secondSize);
    QFETCH(int, secondParagraph);
    QFETCH(bool, joins);
    // A third, distant line keeps the median at 12.
    const QList<batch::TextBlock> blocks =
        batch::groupLines({line(u"one"_s, QRectF(100, 100, 200, 12), 12, 0),
                           line(u"two"_s, secondBox, secondSize, secondParagraph),
                           line(u"far"_s, QRectF(100, 600, 200, 12), 12, 5)});
    QCOMPARE(blocks.size(), joins ? 2 : 3);
    if (joins) {
        QCOMPARE(blocks.first().lines.size(), 2);
        QCOMPARE(blocks.first().box, QRectF(100, 100, 200, 12).united(secondBox));
    }
}

void TestOcrExport::textHelpers()
{
    QCOMPARE(batch::xmlText(u"a & b < c > \"d\"\f\u0001\ttab\nline"_s),
             u"a &amp; b &lt; c &gt; &quot;d&quot;\ttab\nline"_s);
    QCOMPARE(batch::xmlText(u"  中文  空格 "_s), u"  中文  空格 "_s);
    QCOMPARE(batch::shapeStyle(QRectF(72, 10.5, 100.125, 3)),
             u"position:absolute;margin-left:72.00pt;margin-top:10.50pt;width:100.13pt;"
             u"height:3.00pt;mso-position-horizontal-relative:page;"
             u"mso-position-vertical-relative:page;mso-wrap-style:none;z-index:1"_s);
    QCOMPARE(
        batch::sectionProperties(QSizeF(595.2, 841.8), false),
        u"<w:sectPr><w:pgSz w:w=\"11904\" w:h=\"16836\"/><w:pgMar w:top=\"0\" w:right=\"0\" "
        u"w:bottom=\"0\" w:left=\"0\" w:header=\"0\" w:footer=\"0\" w:gutter=\"0\"/></w:sectPr>"_s);
    QVERIFY(batch::sectionProperties(QSizeF(612, 792), true)
                .startsWith(u"<w:sectPr><w:type w:val=\"nextPage\"/><w:pgSz w:w=\"12240\""_s));
}

void TestOcrExport::docxPackage()
{
    const QString path = m_dir.filePath(u"job.docx"_s);
    QString error;
    QVERIFY(batch::writeDocx(
        sampleJob(), path, u"Noto Sans CJK SC"_s, [] { return false; }, error));
    QProcess test;
    test.start(u"unzip"_s, {u"-t"_s, path});
    QVERIFY(test.waitForFinished(60000));
    QCOMPARE(test.exitCode(), 0);
    QProcess list;
    list.start(u"unzip"_s, {u"-Z1"_s, path});
    QVERIFY(list.waitForFinished(60000));
    QCOMPARE(QString::fromUtf8(list.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts),
             (QStringList{u"[Content_Types].xml"_s, u"_rels/.rels"_s, u"word/document.xml"_s,
                          u"word/_rels/document.xml.rels"_s, u"word/media/image1.png"_s,
                          u"word/media/image2.png"_s}));
    for (const QString& entry : {u"[Content_Types].xml"_s, u"_rels/.rels"_s, u"word/document.xml"_s,
                                 u"word/_rels/document.xml.rels"_s})
        QVERIFY2(wellFormed(unzipEntry(path, entry)), qPrintable(entry));

    const QString document = QString::fromUtf8(unzipEntry(path, u"word/document.xml"_s));
    QCOMPARE(document.count(u"<w:type w:val=\"nextPage\"/>"_s), 2);
    QCOMPARE(document.count(u"<w:sectPr>"_s), 3);
    QVERIFY(document.contains(u"<w:pgSz w:w=\"11904\" w:h=\"16836\"/>"_s));
    QVERIFY(document.contains(u"<w:pgSz w:w=\"12240\" w:h=\"15840\"/>"_s));
    QVERIFY(document.endsWith(u"<w:sectPr><w:pgSz w:w=\"16840\" w:h=\"11900\"/><w:pgMar "
                              u"w:top=\"0\" w:right=\"0\" w:bottom=\"0\" w:left=\"0\" "
                              u"w:header=\"0\" w:footer=\"0\" w:gutter=\"0\"/></w:sectPr>"
                              u"</w:body></w:document>"_s));
    // Shape ids count text boxes and pictures together; fit-text ids count lines.
    QRegularExpression ids(u"<v:rect id=\"(\\w+)\""_s);
    QStringList shapes;
    for (auto it = ids.globalMatch(document); it.hasNext();)
        shapes << it.next().captured(1);
    QCOMPARE(shapes, (QStringList{u"text1"_s, u"text2"_s, u"image3"_s, u"text4"_s, u"image5"_s}));
    QVERIFY(document.contains(u"w:fitText w:val=\"6000\" w:id=\"1\""_s));
    QVERIFY(document.contains(u"w:id=\"4\"/></w:rPr><w:t xml:space=\"preserve\">中文段落</w:t>"_s));
    QVERIFY(document.contains(u"Quarterly report &amp; &lt;summary&gt;"_s));
    QVERIFY(document.contains(u">thirdline</w:t>"_s));
    QVERIFY(document.contains(u"<v:imagedata r:id=\"rId1\" o:title=\"OCR image\"/>"_s));
    // The block at the bottom edge ends at the page bottom, not 4 pt below it.
    QVERIFY(document.contains(
        u"margin-left:50.00pt;margin-top:770.00pt;width:100.00pt;height:22.00pt"_s));
    // The second and third lines form one block; the third follows the second directly.
    QVERIFY(document.contains(u"<w:spacing w:before=\"0\" w:after=\"0\" w:line=\"240\" "
                              u"w:lineRule=\"exact\"/><w:ind w:left=\"160\"/>"_s));
    QVERIFY(document.contains(u"<w:spacing w:before=\"80\" w:after=\"0\" w:line=\"240\" "
                              u"w:lineRule=\"exact\"/><w:ind w:left=\"0\"/>"_s));

    const QString relationships =
        QString::fromUtf8(unzipEntry(path, u"word/_rels/document.xml.rels"_s));
    QVERIFY(relationships.contains(
        u"<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/image\" Target=\"media/image1.png\"/>"_s));
    QVERIFY(relationships.contains(u"Id=\"rId2\""_s));
    QCOMPARE(QImage::fromData(unzipEntry(path, u"word/media/image1.png"_s)).size(), QSize(40, 20));
}

void TestOcrExport::docxOpensInLibreOffice()
{
    const QString path = m_dir.filePath(u"office.docx"_s);
    QString error;
    QVERIFY(batch::writeDocx(
        sampleJob(), path, u"DejaVu Sans"_s, [] { return false; }, error));
    const QString text = officeText(path, m_dir.path());
    for (const QString& expected :
         {u"Quarterlyreport&<summary>"_s, u"secondline"_s, u"thirdline"_s, u"中文段落"_s})
        QVERIFY2(text.contains(expected), qPrintable(text));
}

void TestOcrExport::rebuiltPdfPlacesEveryLine()
{
    const QString path = m_dir.filePath(u"rebuilt.pdf"_s);
    QList<batch::PageLayout> job = sampleJob();
    for (batch::PageLayout& page : job) {
        for (batch::TextBlock& block : page.blocks) {
            for (batch::TextLine& each : block.lines)
                each.text = each.text.trimmed(); // as reconstruction delivers them
        }
    }
    job[0].blocks.last().lines.last().bold = true;
    job[0].blocks.last().lines.last().italic = true;
    QString error;
    QVERIFY(batch::writeRebuiltPdf(
        job, path, u"DejaVu Sans"_s, [] { return false; }, error));
    std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    QVERIFY(document);
    QCOMPARE(document->numPages(), 3);
    QCOMPARE(document->page(0)->pageSizeF().toSize(), QSize(595, 842)); // matched to A4
    QCOMPARE(document->page(1)->pageSizeF().toSize(), QSize(612, 792));
    QCOMPARE(document->page(2)->pageSizeF().toSize(), QSize(842, 595));

    // The Chinese page in a font that has its glyphs, so that both agree on metrics.
    const QString chinese = m_dir.filePath(u"rebuilt-chinese.pdf"_s);
    QVERIFY(batch::writeRebuiltPdf({job.at(1)}, chinese, u"Noto Sans CJK SC"_s, {}, error));
    const QList<std::pair<QString, batch::PageLayout>> checks{{path, job.at(0)},
                                                              {chinese, job.at(1)}};
    for (const auto& [file, layout] : checks) {
        document = Poppler::Document::load(file);
        const std::unique_ptr<Poppler::Page> page = document->page(0);
        const auto words = page->textList();
        for (const batch::TextBlock& block : layout.blocks) {
            for (const batch::TextLine& expected : block.lines) {
                QRectF found;
                QString text;
                for (const auto& word : words) {
                    if (expected.box.contains(word->boundingBox().center())) {
                        found = found.isNull() ? word->boundingBox()
                                               : found.united(word->boundingBox());
                        text += word->text();
                    }
                }
                QString compact = expected.text;
                compact.remove(u' ').remove(u'\f');
                QCOMPARE(text, compact); // ideographs, not radicals
                QVERIFY2(qAbs(found.left() - expected.box.left()) <= 1 &&
                             qAbs(found.right() - expected.box.right()) <= 1 &&
                             qAbs(found.top() - expected.box.top()) <= 1 &&
                             qAbs(found.bottom() - expected.box.bottom()) <= 1,
                         qPrintable(u"%1: %2,%3 %4x%5"_s.arg(expected.text)
                                        .arg(found.x())
                                        .arg(found.y())
                                        .arg(found.width())
                                        .arg(found.height())));
            }
        }
    }
}

void TestOcrExport::cancellationLeavesNoFile()
{
    for (int stopAt = 1; stopAt <= 9; ++stopAt) {
        int calls = 0;
        const batch::CancelTest cancel = [&] {
            return ++calls >= stopAt;
        };
        QString error = u"untouched"_s;
        const QString docx = m_dir.filePath(u"cancel.docx"_s);
        QVERIFY(!batch::writeDocx(sampleJob(), docx, u"x"_s, cancel, error));
        QVERIFY2(!QFileInfo::exists(docx), qPrintable(QString::number(stopAt)));
        QCOMPARE(error, u"untouched"_s);
        calls = 0;
        const QString pdf = m_dir.filePath(u"cancel.pdf"_s);
        if (stopAt <= 6) { // the sample job asks at most six times
            QVERIFY(!batch::writeRebuiltPdf(sampleJob(), pdf, u"x"_s, cancel, error));
            QVERIFY(!QFileInfo::exists(pdf));
            QCOMPARE(error, u"untouched"_s);
        }
    }
}

void TestOcrExport::emptyJobs()
{
    QString error;
    QVERIFY(!batch::writeDocx({}, m_dir.filePath(u"none.docx"_s), u"x"_s, {}, error));
    QCOMPARE(error, u"没有可重建的页面。"_s);
    QVERIFY(!batch::writeRebuiltPdf({}, m_dir.filePath(u"none.pdf"_s), u"x"_s, {}, error));
    QCOMPARE(error, u"没有可重建的页面。"_s);
    QVERIFY(!QFileInfo::exists(m_dir.filePath(u"none.docx"_s)));
    QVERIFY(!batch::writeDocx(sampleJob(), m_dir.filePath(u"missing/x.docx"_s), u"x"_s, {}, error));
    QVERIFY(!error.isEmpty());
    // A page with nothing on it still becomes a page of its size.
    batch::PageLayout blank;
    blank.pageSize = QSizeF(300, 400);
    QVERIFY(batch::writeRebuiltPdf({blank}, m_dir.filePath(u"blank.pdf"_s), u"x"_s, {}, error));
    const std::unique_ptr<Poppler::Document> document =
        Poppler::Document::load(m_dir.filePath(u"blank.pdf"_s));
    QCOMPARE(document->page(0)->pageSizeF().toSize(), QSize(300, 400));
}

void TestOcrExport::workerWritesEditableOutputs()
{
    const QString source = m_dir.filePath(u"scan.pdf"_s);
    const QStringList lines{u"Minutes of the annual meeting"_s,
                            u"The budget for next year was approved."_s};
    testsupport::writeDrawnPdf(source, {{.lines = lines, .pointSize = 16}});
    for (const int kind : {batch::RebuiltPdf, batch::Docx}) {
        QStringList events;
        const QString base = m_dir.filePath(u"out%1"_s.arg(kind));
        batch::OcrWorker worker(source, m_models.path(), u"eng"_s, 300, base, u"DejaVu Sans"_s,
                                {.outputKind = kind});
        connect(
            &worker, &batch::OcrWorker::notice, &worker,
            [&](const QString& message) { events << message; }, Qt::DirectConnection);
        connect(
            &worker, &batch::OcrWorker::succeeded, &worker, [&] { events << u"ok"_s; },
            Qt::DirectConnection);
        connect(
            &worker, &batch::OcrWorker::failed, &worker,
            [&](const QString& message) { events << message; }, Qt::DirectConnection);
        worker.start();
        worker.wait();
        QCOMPARE(events.first(), u"OCR 完成，正在按段落、坐标和字号重建输出…"_s);
        QCOMPARE(events.last(), u"ok"_s);
        // Low-confidence lines are counted only when there are any.
        QVERIFY(events.filter(u"有 0 行"_s).isEmpty());
        QVERIFY(events.size() == 2 ||
                events.at(1).endsWith(u" 行的 OCR 置信度低于 65，建议核对原件。"_s));
        QVERIFY(!QFileInfo::exists(base + u".pdf"_s)); // no searchable PDF for these kinds
        if (kind == batch::RebuiltPdf) {
            const QString text = testsupport::popplerText(base + u"-rebuilt.pdf"_s, 0);
            QVERIFY2(testsupport::characterErrorRate(lines.join(u' '), text) < 0.05,
                     qPrintable(text));
        } else {
            const QString document =
                QString::fromUtf8(unzipEntry(base + u".docx"_s, u"word/document.xml"_s));
            QVERIFY(document.contains(u"annual meeting"_s));
            QVERIFY(document.contains(u"approved."_s));
        }
    }
}

void TestOcrExport::operationWritesEditableOutputs_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("encrypted");
    QTest::newRow("Word document") << u"docx"_s << u"扫描-可编辑.docx"_s << false;
    QTest::newRow("Word document of a protected scan")
        << u"docx"_s << u"扫描-可编辑.docx"_s << true;
    QTest::newRow("rebuilt PDF") << u"rebuilt"_s << u"扫描-重排.pdf"_s << false;
}

// A Chinese scan through the worker into each editable output: the phrases of
// the page come back out of the published file.
void TestOcrExport::operationWritesEditableOutputs()
{
    QFETCH(QString, output);
    QFETCH(QString, name);
    QFETCH(bool, encrypted);
    QTemporaryDir in;
    QTemporaryDir out;
    QString source = in.filePath(u"扫描.pdf"_s);
    const QStringList lines{u"批量处理文件，保护原始文档安全。"_s, u"请在三月底之前寄回合同。"_s};
    testsupport::writeDrawnPdf(
        source, {{.lines = lines, .family = u"Noto Sans CJK SC"_s, .pointSize = 20}});
    if (encrypted) {
        const QString plain = in.filePath(u"plain.pdf"_s);
        QFile::rename(source, plain);
        testsupport::writeProtectedCopy(plain, source,
                                        {.encryption = testsupport::Encryption::R6Aes256,
                                         .userPassword = "u",
                                         .ownerPassword = "o"});
    }
    testsupport::SourceGuard guard;
    guard.add(source);
    const testsupport::WorkerRun run = testsupport::runWorker(
        testsupport::makeRequest(u"ocr"_s, {source}, out.path(),
                                 {{u"ocrOutput"_s, output},
                                  {u"ocrLanguage"_s, u"chi_sim+eng"_s},
                                  {u"ocrModels"_s, m_models.path()},
                                  {u"password"_s, encrypted ? u"o"_s : QString()}}));
    QCOMPARE(run.result.value(u"error"_s).toString(), QString());
    const QString published = run.result.value(u"output"_s).toString();
    QCOMPARE(published, out.filePath(name));
    QVERIFY(guard.unchanged());
    const QString note = run.result.value(u"note"_s).toString();
    // A clean scan: nothing in the note asks for a check, nor does the row.
    QVERIFY2(!note.contains(u"有 0 行"_s), qPrintable(note));
    QCOMPARE(run.result.value(u"review"_s).toBool(true), note.contains(u"置信度低于"_s));
    QCOMPARE(note.contains(u"结果未加密"_s), encrypted);
    QVERIFY(run.standardError.contains("OCR 完成，正在按段落、坐标和字号重建输出…"));

    QString text;
    if (output == u"docx"_s) {
        text = officeText(published, in.path());
    } else {
        QProcess pdftotext;
        pdftotext.start(u"pdftotext"_s, {u"-enc"_s, u"UTF-8"_s, published, u"-"_s});
        QVERIFY(pdftotext.waitForFinished(60000));
        text = QString::fromUtf8(pdftotext.readAllStandardOutput()).remove(u' ').remove(u'\n');
    }
    for (const QString& phrase : {u"保护原始文档"_s, u"三月底之前寄回"_s})
        QVERIFY2(text.contains(phrase), qPrintable(text));
}

QTEST_MAIN(TestOcrExport)
#include "tst_ocrexport.moc"
