// Text recognition: the document wrapper, the searchable merge, the recognition
// thread and the "ocr" operation through the worker, on generated scans with
// Debian's real Tesseract models.
#include "ocr/invisibletext.h"
#include "ocr/ocrdocument.h"
#include "ocr/ocrworker.h"
#include "ocr/pageimage.h"
#include "ocr/textlayer.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <poppler/qt6/poppler-qt6.h>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAnnotationObjectHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <tesseract/baseapi.h>

#include <algorithm>

using namespace Qt::StringLiterals;
using testsupport::DrawnPage;

namespace {

const QStringList englishLines{
    u"The quarterly report was approved by the board on Monday."_s,
    u"Invoice number 2024-0042 lists a total of 1,234.56 euros."_s,
    u"Please return the signed contract before the end of March."_s,
    u"All source files stay unchanged on this computer."_s,
};

const QStringList chineseLines{
    u"批量处理文件，保护原始文档安全。"_s,
    u"中华人民共和国发票专用章"_s,
    u"请在三月底之前寄回已签署的合同。"_s,
};

DrawnPage englishScan()
{
    return {.lines = englishLines};
}

DrawnPage chineseScan()
{
    return {.lines = chineseLines, .family = u"Noto Sans CJK SC"_s, .pointSize = 20};
}

// Eight lines of a contract in 12-point serif, as an office prints them.
DrawnPage contractScan()
{
    DrawnPage page;
    page.family = u"Noto Serif CJK SC"_s;
    page.pointSize = 12;
    for (int clause = 1; clause <= 8; ++clause)
        page.lines << u"第%1条：甲方应于每月五日前支付上月货款，逾期按日万分之五计收违约金。"_s.arg(
            clause);
    return page;
}

// The seal's red in the source, and what became of those pixels: the share
// that is still clearly red.
double sealRedKept(const QImage& source, const QImage& result)
{
    int red = 0;
    int kept = 0;
    for (int y = 0; y < source.height(); ++y) {
        for (int x = 0; x < source.width(); ++x) {
            const QColor before = source.pixelColor(x, y);
            if (before.hsvSaturationF() < 0.6 || before.valueF() < 0.5 ||
                std::min(before.hsvHue(), 360 - before.hsvHue()) > 15)
                continue;
            ++red;
            const QColor after = result.pixelColor(x, y);
            kept += after.hsvSaturationF() > 0.4 &&
                    std::min(after.hsvHue(), 360 - after.hsvHue()) <= 20;
        }
    }
    return red > 0 ? double(kept) / red : 0;
}

DrawnPage textPage(const QString& line)
{
    return {.lines = {line}, .scanned = false};
}

// Everything a worker said, in order, as "signal:arguments".
struct SignalLog
{
    QStringList entries;
    void attach(batch::OcrWorker& worker)
    {
        using batch::OcrWorker;
        QObject::connect(
            &worker, &OcrWorker::pageReady, &worker,
            [this](int page, int total, const QString&) {
                entries << u"page:%1/%2"_s.arg(page).arg(total);
            },
            Qt::DirectConnection);
        QObject::connect(
            &worker, &OcrWorker::progressReady, &worker,
            [this](int done, int total) { entries << u"progress:%1/%2"_s.arg(done).arg(total); },
            Qt::DirectConnection);
        QObject::connect(
            &worker, &OcrWorker::notice, &worker,
            [this](const QString& message) { entries << u"notice:"_s + message; },
            Qt::DirectConnection);
        QObject::connect(
            &worker, &OcrWorker::failed, &worker,
            [this](const QString& message) { entries << u"failed:"_s + message; },
            Qt::DirectConnection);
        QObject::connect(
            &worker, &OcrWorker::succeeded, &worker, [this] { entries << u"succeeded"_s; },
            Qt::DirectConnection);
        QObject::connect(
            &worker, &OcrWorker::cancelled, &worker, [this] { entries << u"cancelled"_s; },
            Qt::DirectConnection);
    }
};

bool searchFinds(const QString& path, int page, const QString& phrase)
{
    const std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    if (!document)
        return false;
    const std::unique_ptr<Poppler::Page> p = document->page(page);
    return p && !p->search(phrase).isEmpty();
}

// What a page draws and carries, read with QPDF: each content stream's data,
// then each picture's encoded data, then each annotation's URI.
QList<QByteArray> pageParts(const QString& path)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(path).constData());
    QPDFPageObjectHelper page = QPDFPageDocumentHelper(pdf).getAllPages().front();
    QList<QByteArray> parts;
    for (QPDFObjectHandle& stream : page.getPageContents()) {
        const std::shared_ptr<Buffer> data = stream.getStreamData(qpdf_dl_generalized);
        parts << QByteArray(reinterpret_cast<const char*>(data->getBuffer()),
                            qsizetype(data->getSize()));
    }
    for (auto& [name, image] : page.getImages()) {
        const std::shared_ptr<Buffer> raw = image.getRawStreamData();
        parts << QByteArray::fromStdString(name) +
                     QByteArray(reinterpret_cast<const char*>(raw->getBuffer()),
                                qsizetype(raw->getSize()));
    }
    for (QPDFAnnotationObjectHelper& annotation : page.getAnnotations())
        parts << QByteArray::fromStdString(
            annotation.getObjectHandle().getKey("/A").getKey("/URI").getStringValue());
    return parts;
}

// The share of a page's words whose box sits on ink of the page as a viewer
// shows it: ink inside the box, and the ink around it centred within it.
double wordsOnInk(const QString& path, int* words)
{
    const std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    const std::unique_ptr<Poppler::Page> page = document->page(0);
    const double scale = 100.0 / 72.0;
    const QImage picture = page->renderToImage(100, 100).convertToFormat(QImage::Format_Grayscale8);
    int good = 0;
    const auto boxes = page->textList();
    for (const std::unique_ptr<Poppler::TextBox>& box : boxes) {
        const QRectF r = box->boundingBox();
        const QRect inner(QPoint(int(r.left() * scale), int(r.top() * scale)),
                          QPoint(int(r.right() * scale), int(r.bottom() * scale)));
        const QRect around =
            inner.adjusted(0, -inner.height() / 2, 0, inner.height() / 2) & picture.rect();
        int insideInk = 0;
        double inkRows = 0;
        int aroundInk = 0;
        for (int y = around.top(); y <= around.bottom(); ++y) {
            for (int x = around.left(); x <= around.right(); ++x) {
                if (picture.constScanLine(y)[x] >= 128)
                    continue;
                ++aroundInk;
                inkRows += y;
                insideInk += inner.contains(x, y) ? 1 : 0;
            }
        }
        const double centre = aroundInk > 0 ? inkRows / aroundInk : -1;
        if (insideInk >= 0.03 * inner.width() * inner.height() && centre >= inner.top() &&
            centre <= inner.bottom())
            ++good;
    }
    *words = int(boxes.size());
    return boxes.empty() ? 0 : double(good) / double(boxes.size());
}

} // namespace

class TestOcr : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void documentBasics();
    void photosRecognisedInOneStep();
    void mergePlans();
    void layerTextStaysOnItsLine_data();
    void layerTextStaysOnItsLine();
    void englishScanIsSearchable();
    void chinesePhrasesAreSearchable();
    void archiveLevelKeepsScansReadable_data();
    void archiveLevelKeepsScansReadable();
    void textPagesAreKept();
    void signalOrderAndPageList();
    void workerFailuresAndCancellation();
    void imageSource();
    void pipelinedPathMatchesReference();
    void greyPagesRecogniseAsRgb();
    void operationThroughWorker();
    void protectedAndRestrictedSources();
    void scanPageKeepsItsContent_data();
    void scanPageKeepsItsContent();
    void skewedScansReadInOrder_data();
    void skewedScansReadInOrder();
    void sidewaysPagesTurnUpright_data();
    void sidewaysPagesTurnUpright();
    void columnsReadAsColumns_data();
    void columnsReadAsColumns();
    void hiddenTextGoesWithoutMovingAnything_data();
    void hiddenTextGoesWithoutMovingAnything();

private:
    QString models() const { return m_models.path(); }
    QStringList runWorker(const QString& source, batch::OcrOptions options,
                          const QString& language = u"eng"_s, const QString& modelsPath = {});
    QTemporaryDir m_models;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestOcr::initTestCase()
{
    QVERIFY(testsupport::fillModelsFolder(m_models.path()));
}

void TestOcr::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
}

QStringList TestOcr::runWorker(const QString& source, batch::OcrOptions options,
                               const QString& language, const QString& modelsPath)
{
    SignalLog log;
    batch::OcrWorker worker(source, modelsPath.isNull() ? models() : modelsPath, language, 300,
                            m_dir->filePath(u"out"_s), u"Microsoft YaHei UI"_s, std::move(options));
    log.attach(worker);
    worker.start();
    worker.wait();
    return log.entries;
}

void TestOcr::documentBasics()
{
    const QString path = m_dir->filePath(u"doc.pdf"_s);
    testsupport::writePdf(path, {.pages = 3, .rotations = {90, 0, 0}, .width = 595, .height = 842});
    batch::OcrDocument document;
    QVERIFY(document.load(path));
    QCOMPARE(document.pageCount(), 3);
    QCOMPARE(document.pageSize(0), QSizeF(842, 595));
    QString text = u"stale"_s;
    QVERIFY(!document.hasPageText(-1, &text));
    QVERIFY(text.isEmpty());
    QVERIFY(!document.hasPageText(3, &text));
    QVERIFY(document.hasPageText(1, &text));
    QVERIFY(text.contains(u"doc-p2"_s));
    const QImage image = document.render(0, QSize(1170, 827));
    QCOMPARE(image.size(), QSize(1170, 827));

    // A page with only white space is no text page.
    const QString blank = m_dir->filePath(u"blank.pdf"_s);
    testsupport::writeDrawnPdf(blank, {textPage(u"   "_s)});
    QVERIFY(document.load(blank));
    QVERIFY(!document.hasPageText(0));

    const QString locked = m_dir->filePath(u"locked.pdf"_s);
    testsupport::writePdf(locked, {.encryption = testsupport::Encryption::R6Aes256,
                                   .userPassword = "u",
                                   .ownerPassword = "o"});
    batch::OcrDocument lockedDocument;
    QVERIFY(!lockedDocument.load(locked));
}

void TestOcr::mergePlans()
{
    const QString source = m_dir->filePath(u"source.pdf"_s);
    testsupport::writePdf(source, {.pages = 3, .marker = u"s"_s, .rotations = {0, 0, 90}});
    const QString output = m_dir->filePath(u"merged.pdf"_s);
    batch::OcrDocument document;
    QVERIFY(document.load(source));
    const batch::LayerLine line{700, 20, {{u"layer"_s, 72, 140}}};
    const batch::TextLayer layer{QSizeF(612, 792), batch::layerContent({line})};
    const QByteArray font = "glyphs";

    // A recognised page keeps its own content and gains the layer's text.
    QString error;
    QVERIFY(document.mergeSearchablePages({0, 1, 2}, {true, false, true}, {layer}, font, output,
                                          &error));
    testsupport::PdfFacts facts = testsupport::inspectPdf(output);
    QCOMPARE(facts.markers, (QStringList{u"s-p1"_s, u"s-p2"_s, u"s-p3"_s}));
    QCOMPARE(facts.rotations, (QList<int>{0, 0, 90}));
    QStringList words = testsupport::popplerText(output, 1).simplified().split(u' ');
    words.sort();
    QCOMPARE(words, (QStringList{u"layer"_s, u"s-p2"_s}));

    QVERIFY(document.mergeSearchablePages({0, 0}, {true, true}, {}, font, output, &error));
    QCOMPARE(testsupport::inspectPdf(output).markers, (QStringList{u"s-p1"_s, u"s-p1"_s}));

    const auto refusal = [&](const QList<int>& pages, const QList<bool>& keep,
                             const QList<batch::TextLayer>& layers) {
        QString message;
        return document.mergeSearchablePages(pages, keep, layers, font, output, &message)
                   ? QString()
                   : message;
    };
    QCOMPARE(refusal({0, 1}, {false, false}, {layer}), u"识别输出页数不匹配。"_s);
    QCOMPARE(refusal({0}, {true, false}, {layer}), u"无效的页面合并计划。"_s);
    QCOMPARE(refusal({}, {}, {}), u"无效的页面合并计划。"_s);
    QCOMPARE(refusal({3}, {true}, {}), u"源页码超出范围。"_s);

    // Poppler trusts the page tree's /Count, QPDF walks its kids: a document
    // the two count differently is refused, not indexed out of range.
    QByteArray bytes = testsupport::makePdf({.pages = 1, .marker = u"c"_s});
    QVERIFY(bytes.contains("/Count 1"));
    bytes.replace("/Count 1", "/Count 2");
    const QString miscounted = m_dir->filePath(u"miscounted.pdf"_s);
    testsupport::writeBytes(miscounted, bytes);
    QVERIFY(document.load(miscounted));
    QCOMPARE(document.pageCount(), 2);
    QCOMPARE(refusal({0, 1}, {true, true}, {}),
             u"无法打开 PDF。请检查文件是否损坏、加密或受密码保护。"_s);
}

void TestOcr::layerTextStaysOnItsLine_data()
{
    // Lines as "word@left-right word@left-right…", one block after another.
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("expected"); // each word as written, in order
    QTest::newRow("two Chinese lines")
        << QStringList{u"可搜索@72-120 文字@120-150"_s, u"第二行@72-130 内容@130-160"_s}
        << QStringList{u"可搜索"_s, u"文字"_s, u"第二行"_s, u"内容"_s};
    QTest::newRow("two blocks") << QStringList{u"第一段@72-140"_s, u"结尾@72-100"_s,
                                               u"第二段@300-370 开始@370-400"_s}
                                << QStringList{u"第一段"_s, u"结尾"_s, u"第二段"_s, u"开始"_s};
    QTest::newRow("mixed Chinese and Latin")
        << QStringList{u"版本@72-100 Qt@104-120 六@124-136"_s, u"PDF@72-100 文件@104-130"_s}
        << QStringList{u"版本 "_s, u"Qt "_s, u"六"_s, u"PDF "_s, u"文件"_s};
    QTest::newRow("table cells apart, a sentence together")
        << QStringList{u"项目名称@72-120 预算金额@160-208 实际@240-264 支出@264-288"_s}
        << QStringList{u"项目名称 "_s, u"预算金额 "_s, u"实际"_s, u"支出"_s};
    // Beyond the Basic Multilingual Plane, in a font of its plane: one glyph.
    QTest::newRow("Extension B") << QStringList{u"吉野@72-96 𠮷野家@96-132"_s}
                                 << QStringList{u"吉野"_s, u"𠮷野家"_s};
}

void TestOcr::layerTextStaysOnItsLine()
{
    // Words run together only within a line; a line's last word keeps its own
    // text and box, so that a selection never reaches past the line's end.
    QFETCH(QStringList, lines);
    QFETCH(QStringList, expected);
    QList<batch::LayerLine> layerLines;
    QList<double> lastRights;
    double baseline = 700;
    for (const QString& line : std::as_const(lines)) {
        batch::LayerLine layerLine{baseline, 12, {}};
        baseline -= 20;
        for (const QString& word : line.split(u' ')) {
            const QStringList edges = word.section(u'@', 1).split(u'-');
            layerLine.words.append(
                {word.section(u'@', 0, 0), edges.at(0).toDouble(), edges.at(1).toDouble()});
        }
        lastRights << layerLine.words.last().right;
        layerLines << layerLine;
    }
    batch::TextLayer layer{QSizeF(612, 792), {}};
    layer.content = batch::layerContent(layerLines, &layer.supplementary);
    const QByteArray& content = layer.content;
    static const QRegularExpression shown(
        u"1 0 0 1 ([-.0-9]+) ([-.0-9]+) Tm ([.0-9]+) Tz ((?:(?:/[FG][0-9]? [.0-9]+ Tf )?<[0-9a-f]+> Tj ?)+)\n"_s);
    static const QRegularExpression run(u"(?:/([FG])([0-9]?) [.0-9]+ Tf )?<([0-9a-f]+)> Tj"_s);
    QStringList written;
    QList<double> lineEnds;
    double lastBaseline = 0;
    for (auto match = shown.globalMatch(QString::fromLatin1(content)); match.hasNext();) {
        const QRegularExpressionMatch word = match.next();
        QString text;
        char32_t plane = 0;
        qsizetype glyphs = 0;
        for (auto runs = run.globalMatch(word.captured(4)); runs.hasNext();) {
            const QRegularExpressionMatch part = runs.next();
            if (!part.captured(1).isEmpty())
                plane = part.captured(1) == u"G"_s ? part.captured(2).toUInt() : 0;
            const QByteArray codes = QByteArray::fromHex(part.captured(3).toLatin1());
            for (qsizetype i = 0; i + 1 < codes.size(); i += 2, ++glyphs) {
                const char32_t point =
                    (plane << 16) | (uchar(codes.at(i)) << 8) | uchar(codes.at(i + 1));
                text += QString::fromUcs4(&point, 1);
            }
        }
        written << text;
        const double width = word.captured(3).toDouble() / 100.0 * double(glyphs) * 0.5 * 12;
        const double right = word.captured(1).toDouble() + width;
        if (!lineEnds.isEmpty() && word.captured(2).toDouble() == lastBaseline)
            lineEnds.last() = right;
        else
            lineEnds << right;
        lastBaseline = word.captured(2).toDouble();
    }
    QCOMPARE(written, expected);
    // And a reader extracts them as written, supplementary planes included.
    QFile font(QDir(models()).filePath(u"pdf.ttf"_s));
    QVERIFY(font.open(QIODevice::ReadOnly));
    QImage white(612, 792, QImage::Format_Grayscale8);
    white.fill(255);
    const QString path = m_dir->filePath(u"layer.pdf"_s);
    QString error;
    QVERIFY2(
        batch::writeSearchablePicture(white, QSizeF(612, 792), layer, font.readAll(), path, &error),
        qPrintable(error));
    const QString extracted =
        testsupport::popplerText(path, 0).remove(QRegularExpression(u"\\s"_s));
    for (const QString& word : std::as_const(expected))
        QVERIFY2(extracted.contains(word.trimmed()), qPrintable(extracted));
    QCOMPARE(lineEnds.size(), lastRights.size());
    for (qsizetype i = 0; i < lineEnds.size(); ++i)
        QVERIFY2(
            std::abs(lineEnds.at(i) - lastRights.at(i)) < 0.01,
            qPrintable(
                u"line %1 ends at %2, not %3"_s.arg(i).arg(lineEnds.at(i)).arg(lastRights.at(i))));
}

void TestOcr::englishScanIsSearchable()
{
    const QString source = m_dir->filePath(u"scan.pdf"_s);
    testsupport::writeDrawnPdf(source, {englishScan()});
    QVERIFY(testsupport::popplerText(source, 0).trimmed().isEmpty());
    const QStringList log = runWorker(source, {});
    QCOMPARE(log.last(), u"succeeded"_s);
    const QString output = m_dir->filePath(u"out.pdf"_s);
    const double rate = testsupport::characterErrorRate(englishLines.join(u' '),
                                                        testsupport::popplerText(output, 0));
    QVERIFY2(rate < 0.02, qPrintable(QString::number(rate)));
    QVERIFY(searchFinds(output, 0, u"signed contract"_s));
    // Working files are gone; only the result remains.
    QCOMPARE(testsupport::folderEntries(m_dir->path()), (QStringList{u"out.pdf"_s, u"scan.pdf"_s}));
}

// The archive level on scans: far smaller than the smallest level, its text
// read as well as the source's, a seal still red, a photograph as sharp as
// the smallest level keeps it.
void TestOcr::archiveLevelKeepsScansReadable_data()
{
    QTest::addColumn<int>("marks");
    QTest::addColumn<bool>("seal");
    QTest::addColumn<int>("pointSize"); // of the print; OCR reads 12 points only
    QTest::newRow("grey scan with grain") << int(testsupport::GreyNoise) << false << 12;
    QTest::newRow("colour scan with a seal") << 0 << true << 12;
    QTest::newRow("grey scan with a photograph") << int(testsupport::Photograph) << false << 12;
    QTest::newRow("grey scan of 6-point print") << int(testsupport::GreyNoise) << false << 6;
}

void TestOcr::archiveLevelKeepsScansReadable()
{
    QFETCH(int, marks);
    QFETCH(bool, seal);
    QFETCH(int, pointSize);
    DrawnPage page = contractScan();
    page.sheetMarks = marks;
    page.seal = seal;
    page.pointSize = pointSize;
    const QString source = m_dir->filePath(u"扫描.pdf"_s);
    testsupport::writeScanPdf(source, testsupport::drawScan(page, 300), 300);
    testsupport::SourceGuard guard;
    guard.add(source);
    QJsonObject archived;
    const auto compressed = [&](const QString& level) {
        QDir(m_dir->path()).mkpath(level);
        const testsupport::WorkerRun run = testsupport::runWorker(testsupport::makeRequest(
            u"compress"_s, {source}, m_dir->filePath(level), {{u"compressLevel"_s, level}}));
        archived = run.result;
        return run.result.value(u"output"_s).toString();
    };
    const QString smallest = compressed(u"small"_s);
    const QString layered = compressed(u"archive"_s);
    QVERIFY2(archived.value(u"note"_s).toString().endsWith(
                 u"；1 页扫描页已分层压缩（文字保持扫描分辨率）"_s),
             qPrintable(archived.value(u"note"_s).toString()));
    QVERIFY(guard.unchanged());
    QVERIFY(testsupport::qpdfCheckClean(layered));
    const qint64 bytes = QFileInfo(layered).size();
    qInfo("small %lld bytes, archive %lld", QFileInfo(smallest).size(), bytes);
    QVERIFY(bytes * 5 < QFileInfo(smallest).size() * 3);
    QVERIFY(testsupport::pageSsim(source, layered).value(0) >= 0.9);

    // Every stroke, the thinnest too, stays as dark as it was in the print's
    // lines (above the photograph).
    const QImage print = testsupport::renderPages(source, 300).value(0).copy(0, 0, 2480, 1900);
    const QImage printKept = testsupport::renderPages(layered, 300).value(0).copy(0, 0, 2480, 1900);
    QCOMPARE(printKept.size(), print.size());
    qint64 dark = 0;
    qint64 stillDark = 0;
    for (int y = 0; y < print.height(); ++y) {
        for (int x = 0; x < print.width(); ++x) {
            if (qGray(print.pixel(x, y)) >= 128 ||
                (seal && print.pixelColor(x, y).hsvSaturation() > 100))
                continue;
            ++dark;
            stillDark += qGray(printKept.pixel(x, y)) < 160;
        }
    }
    qInfo("%lld of %lld dark pixels kept", stillDark, dark);
    QVERIFY2(dark > 0 && stillDark >= dark * 98 / 100,
             qPrintable(u"%1 of %2 dark pixels kept"_s.arg(stillDark).arg(dark)));

    const QImage before = testsupport::renderPages(source, 150).value(0);
    const QImage after = testsupport::renderPages(layered, 150).value(0);
    if (seal)
        QVERIFY2(sealRedKept(before, after) > 0.9,
                 qPrintable(QString::number(sealRedKept(before, after))));
    if (marks & testsupport::Photograph) {
        // The photograph: 4 by 2.5 inches, an inch from the left and 480 points down.
        const QRect photo(150, 1000, 600, 375);
        const double kept = testsupport::ssim(before.copy(photo), after.copy(photo));
        const QImage small = testsupport::renderPages(smallest, 150).value(0);
        const double smallKept = testsupport::ssim(before.copy(photo), small.copy(photo));
        QVERIFY2(kept >= smallKept - 0.01, qPrintable(u"%1 < %2"_s.arg(kept).arg(smallKept)));
        return;
    }
    if (pointSize != 12)
        return;
    const auto errors = [&](const QString& path) {
        const QString output = m_dir->filePath(u"out.pdf"_s);
        QFile::remove(output);
        [&] {
            QCOMPARE(runWorker(path, {}, u"chi_sim"_s).last(), u"succeeded"_s);
        }();
        return testsupport::characterErrorRate(page.lines.join(QString()),
                                               testsupport::popplerText(output, 0));
    };
    const double sourceRate = errors(source);
    const double layeredRate = errors(layered);
    qInfo("CER source %.4f, archive %.4f", sourceRate, layeredRate);
    QVERIFY(layeredRate <= sourceRate + 0.005);
}

void TestOcr::chinesePhrasesAreSearchable()
{
    const QString source = m_dir->filePath(u"中文扫描.pdf"_s);
    testsupport::writeDrawnPdf(source, {chineseScan()});
    const QStringList log = runWorker(source, {}, u"chi_sim+eng"_s);
    QCOMPARE(log.last(), u"succeeded"_s);
    const QString output = m_dir->filePath(u"out.pdf"_s);
    const QString text = testsupport::popplerText(output, 0);
    for (const QString& phrase : {u"保护原始文档"_s, u"发票专用章"_s, u"三月底之前寄回"_s}) {
        QVERIFY2(text.contains(phrase), qPrintable(text));
        QVERIFY2(searchFinds(output, 0, phrase), qPrintable(phrase));
    }
    const double rate = testsupport::characterErrorRate(chineseLines.join(QString()), text);
    QVERIFY2(rate < 0.05, qPrintable(QString::number(rate)));
    // English models on a Chinese scan read garbage, and say so.
    const QString wrongLanguage = u"notice:识别可信度低，请检查识别语言。"_s;
    QVERIFY(!log.contains(wrongLanguage));
    QVERIFY(runWorker(source, {}, u"eng"_s).contains(wrongLanguage));
    // Simplified Chinese read with the traditional model keeps a confidence
    // near 90; the simplified model, installed too, is named as reading better.
    const QString otherScript = u"本文件用简体中文模型识别更准确"_s;
    QVERIFY(log.filter(otherScript).isEmpty());
    const QStringList traditional = runWorker(source, {}, u"chi_tra+eng"_s);
    QVERIFY2(!traditional.filter(otherScript).isEmpty(), qPrintable(traditional.join(u'\n')));
}

namespace {

// The lines of a page's text that hold sentences: a watermark's letters,
// turned, come out as lines of a letter or two between them.
QString readLines(const QString& text)
{
    QStringList lines;
    for (const QString& line : text.split(u'\n')) {
        if (line.trimmed().size() >= 20)
            lines << line.trimmed();
    }
    return lines.join(u' ');
}

} // namespace

void TestOcr::textPagesAreKept()
{
    const QString source = m_dir->filePath(u"mixed.pdf"_s);
    testsupport::writeDrawnPdf(source, {textPage(u"First page keeps its own text."_s),
                                        englishScan(), textPage(u"Last page too."_s)});
    QStringList log = runWorker(source, {});
    QCOMPARE(log.first(), u"notice:第 1、3 页已有可选文字，按原样保留。"_s);
    QCOMPARE(log.last(), u"succeeded"_s);
    const QString output = m_dir->filePath(u"out.pdf"_s);
    QCOMPARE(testsupport::popplerText(output, 0).trimmed(), u"First page keeps its own text."_s);
    QCOMPARE(testsupport::popplerText(output, 2).trimmed(), u"Last page too."_s);
    QVERIFY(testsupport::characterErrorRate(englishLines.join(u' '),
                                            testsupport::popplerText(output, 1)) < 0.02);
    QVERIFY(!QFileInfo::exists(m_dir->filePath(u"out-recognized.pdf"_s)));
    QVERIFY(QDir(m_dir->path()).entryList({u"*.png"_s}).isEmpty());

    // A scan that only wears a stamp is a scan, however the stamp is laid on:
    // recognised, the stamp kept.
    using testsupport::StampStyle;
    for (const StampStyle style : {StampStyle::Text, StampStyle::OnBox, StampStyle::Overlay,
                                   StampStyle::Wrapped, StampStyle::Watermark}) {
        const QString stamped = m_dir->filePath(u"stamped.pdf"_s);
        testsupport::writeDrawnPdf(stamped, {englishScan()});
        testsupport::addTextStamp(stamped, u"ABC-000123"_s, style);
        QFile::remove(output);
        log = runWorker(stamped, {});
        QCOMPARE(log.last(), u"succeeded"_s);
        QVERIFY2(log.filter(u"按原样保留"_s).isEmpty(), qPrintable(QString::number(int(style))));
        const QString stampedText = testsupport::popplerText(output, 0);
        QCOMPARE(stampedText.count(u"ABC-000123"_s), 1);
        const double stampedRate =
            testsupport::characterErrorRate(englishLines.join(u' '), readLines(stampedText));
        QVERIFY2(stampedRate < 0.02, qPrintable(stampedText));
    }

    // Every page recognised: the text pages keep their text, and gain no
    // words where they have text already; a recognised page read again
    // replaces its earlier layer.
    QFile::remove(output);
    log = runWorker(source, {.skipTextPages = false});
    QCOMPARE(log.last(), u"succeeded"_s);
    QVERIFY(!log.first().contains(u"按原样保留"_s));
    QCOMPARE(testsupport::popplerText(output, 0).count(u"keeps"_s), 1);
    QCOMPARE(testsupport::popplerPageCount(output), 3);
    const QString again = m_dir->filePath(u"again.pdf"_s);
    QVERIFY(QFile::rename(output, again));
    QCOMPARE(runWorker(again, {.skipTextPages = false}).last(), u"succeeded"_s);
    QCOMPARE(testsupport::popplerText(output, 1).count(u"signed contract"_s), 1);
    QCOMPARE(testsupport::popplerText(output, 2).count(u"Last page"_s), 1);

    // A poster too large for the chosen resolution is read at one that fits,
    // however low: an A1 page, a letter page whose /UserUnit makes it a poster
    // on paper, and the largest page there is.
    const QString poster = m_dir->filePath(u"poster.pdf"_s);
    const QList<std::pair<testsupport::PdfRecipe, int>> posters{
        {{.marker = u"POSTER"_s, .width = 1684, .height = 2384}, 227},
        {{.marker = u"POSTER"_s, .userUnit = 4}, 164},
        {{.marker = u"POSTER"_s, .width = 14400, .height = 14400}, 31}};
    for (const auto& [recipe, dpi] : posters) {
        testsupport::writePdf(poster, recipe);
        QFile::remove(output);
        log = runWorker(poster, {.skipTextPages = false});
        QCOMPARE(log.last(), u"succeeded"_s);
        QVERIFY2(log.contains(u"notice:第 1 页幅面过大，已按 %1 DPI 识别。"_s.arg(dpi)),
                 qPrintable(log.join(u'\n')));
    }

    // All pages carry text: no engine is needed, broken models do not matter.
    const QString allText = m_dir->filePath(u"text.pdf"_s);
    testsupport::writeDrawnPdf(allText, {textPage(u"one"_s), textPage(u"two"_s)});
    QFile::remove(output);
    log = runWorker(allText, {}, u"eng"_s, m_dir->filePath(u"no-models"_s));
    QCOMPARE(log, (QStringList{u"notice:第 1、2 页已有可选文字，按原样保留。"_s, u"page:1/2"_s,
                               u"progress:1/2"_s, u"page:2/2"_s, u"progress:2/2"_s,
                               u"notice:全部所选页面已有文字，已保留原页面，无需 OCR。"_s,
                               u"succeeded"_s}));
    QCOMPARE(testsupport::popplerText(output, 1).trimmed(), u"two"_s);
}

void TestOcr::signalOrderAndPageList()
{
    const QString source = m_dir->filePath(u"three.pdf"_s);
    testsupport::writeDrawnPdf(
        source,
        {{.lines = {u"Alpha page"_s}}, textPage(u"Beta page"_s), {.lines = {u"Gamma page"_s}}});
    QStringList log = runWorker(source, {});
    QCOMPARE(log, (QStringList{u"notice:第 2 页已有可选文字，按原样保留。"_s, u"page:1/3"_s,
                               u"progress:1/3"_s, u"page:2/3"_s, u"progress:2/3"_s, u"page:3/3"_s,
                               u"progress:3/3"_s, u"notice:已完成 3 页识别。"_s, u"succeeded"_s}));

    // The page list decides the order of pages and of the output.
    QFile::remove(m_dir->filePath(u"out.pdf"_s));
    log = runWorker(source, {.pages = {2, 0}, .skipTextPages = false});
    QCOMPARE(log.mid(0, 4),
             (QStringList{u"page:3/2"_s, u"progress:1/2"_s, u"page:1/2"_s, u"progress:2/2"_s}));
    const QString output = m_dir->filePath(u"out.pdf"_s);
    QVERIFY(testsupport::popplerText(output, 0).contains(u"Gamma"_s));
    QVERIFY(testsupport::popplerText(output, 1).contains(u"Alpha"_s));

    log = runWorker(source, {.pages = {3}});
    QCOMPARE(log, (QStringList{u"failed:页码超出文档范围。"_s}));
}

void TestOcr::workerFailuresAndCancellation()
{
    const QString source = m_dir->filePath(u"scan.pdf"_s);
    testsupport::writeDrawnPdf(source, {englishScan(), englishScan()});

    QStringList log = runWorker(source, {}, u"eng"_s, m_dir->filePath(u"no-models"_s));
    QCOMPARE(
        log,
        (QStringList{
            u"failed:OCR 初始化失败。请指定 tessdata 文件夹，并检查所选语言的 traineddata 文件。"_s}));

    QTemporaryDir noFont;
    QVERIFY(QFile::copy(m_models.filePath(u"eng.traineddata"_s),
                        noFont.filePath(u"eng.traineddata"_s)));
    log = runWorker(source, {}, u"eng"_s, noFont.path());
    QCOMPARE(
        log,
        (QStringList{
            u"failed:未安装 pdf.ttf，无法生成可搜索 PDF。请重新安装本程序，或选择其他输出格式。"_s}));

    // Pages out of time are left without text, and the document is still written.
    log = runWorker(source, {.pageTimeLimitMs = 1});
    QVERIFY2(log.contains(u"notice:第 2 页识别超时（超过 1 秒），未加文字。"_s),
             qPrintable(log.join(u'\n')));
    QCOMPARE(log.last(), u"succeeded"_s);
    QVERIFY(testsupport::popplerText(m_dir->filePath(u"out.pdf"_s), 1).trimmed().isEmpty());

    log = runWorker(m_dir->filePath(u"missing.pdf"_s), {});
    QCOMPARE(log, (QStringList{u"failed:无法打开 PDF。请检查文件是否损坏、加密或受密码保护。"_s}));

    // Interruption while the first page is being recognised: no second page, no success.
    SignalLog cancelled;
    batch::OcrWorker worker(source, models(), u"eng"_s, 300, m_dir->filePath(u"cancel"_s),
                            u"Microsoft YaHei UI"_s, {});
    cancelled.attach(worker);
    QObject::connect(
        &worker, &batch::OcrWorker::pageReady, &worker, [&worker] { worker.requestInterruption(); },
        Qt::DirectConnection);
    worker.start();
    worker.wait();
    QCOMPARE(cancelled.entries, (QStringList{u"page:1/2"_s, u"progress:1/2"_s, u"cancelled"_s}));
    // The second page was prepared ahead; nothing of the run is left.
    QVERIFY(QDir(m_dir->path()).entryList({u"cancel*"_s}).isEmpty());
}

void TestOcr::imageSource()
{
    const QString image = m_dir->filePath(u"photo.png"_s);
    QVERIFY(testsupport::drawScan(englishScan(), 300).save(image));
    QStringList log = runWorker(image, {});
    QCOMPARE(log.last(), u"succeeded"_s);
    QVERIFY(testsupport::characterErrorRate(
                englishLines.join(u' '),
                testsupport::popplerText(m_dir->filePath(u"out.pdf"_s), 0)) < 0.02);
    log = runWorker(image, {.pages = {1}});
    QCOMPARE(log, (QStringList{u"failed:页码超出文档范围。"_s}));

    const QString huge = m_dir->filePath(u"huge.png"_s);
    QImage big(8000, 5001, QImage::Format_Mono);
    big.fill(1);
    QVERIFY(big.save(huge));
    log = runWorker(huge, {});
    QCOMPARE(log, (QStringList{u"failed:扫描图片尺寸无效或超过 4000 万像素，请先缩小图片。"_s}));
}

void TestOcr::pipelinedPathMatchesReference()
{
    // Two lanes recognise pages at once; everything observable must equal the
    // one-engine reference: signals in order, texts, and the page pictures.
    const QString source = m_dir->filePath(u"several.pdf"_s);
    testsupport::writeDrawnPdf(source, {englishScan(),
                                        {.lines = {u"Second scanned page"_s}},
                                        textPage(u"A page with its own text"_s),
                                        {.lines = {u"Fourth page, scanned as well"_s}},
                                        {.lines = {u"Fifth and last page"_s}}});
    QStringList logs[2];
    QString outputs[2];
    for (int sequential = 0; sequential < 2; ++sequential) {
        SignalLog log;
        QStringList texts;
        batch::OcrWorker worker(source, models(), u"eng"_s, 300,
                                m_dir->filePath(u"path%1"_s.arg(sequential)), u"x"_s, {});
        // Three lanes forced, more than this machine's cores, so that any
        // machine compares several lanes with the reference.
        worker.setLanes(sequential == 1 ? 1 : 3);
        log.attach(worker);
        QObject::connect(
            &worker, &batch::OcrWorker::pageReady, &worker,
            [&texts](int, int, const QString& text) { texts << text; }, Qt::DirectConnection);
        worker.start();
        worker.wait();
        QCOMPARE(worker.lanesUsed(), sequential == 1 ? 1 : 3);
        logs[sequential] = log.entries + texts;
        outputs[sequential] = m_dir->filePath(u"path%1.pdf"_s.arg(sequential));
    }
    QCOMPARE(logs[0], logs[1]);
    // Without a setting, the lanes follow the cores, and a runner's cap.
    QCOMPARE(batch::OcrWorker::automaticLaneLimit(),
             std::min(QThread::idealThreadCount(), batch::OcrWorker::automaticLaneLimit()));
    QVERIFY(batch::OcrWorker::automaticLaneLimit() >= 1);
    qputenv("QPB_OCR_LANES", "1");
    QCOMPARE(batch::OcrWorker::automaticLaneLimit(), 1);
    qunsetenv("QPB_OCR_LANES");
    QCOMPARE(logs[0].at(logs[0].size() - 6), u"succeeded"_s);
    QCOMPARE(testsupport::popplerPageCount(outputs[0]), 5);
    const std::unique_ptr<Poppler::Document> a = Poppler::Document::load(outputs[0]);
    const std::unique_ptr<Poppler::Document> b = Poppler::Document::load(outputs[1]);
    for (int page = 0; page < 5; ++page) {
        QCOMPARE(a->page(page)->text(QRectF()), b->page(page)->text(QRectF()));
        QCOMPARE(a->page(page)->renderToImage(50, 50), b->page(page)->renderToImage(50, 50));
    }
}

void TestOcr::greyPagesRecogniseAsRgb()
{
    // Grey pages reach the engine as one byte per pixel: words, boxes and
    // confidences must be exactly those of the same pixels in RGB.
    QImage noisy =
        testsupport::drawScan(englishScan(), 300).convertToFormat(QImage::Format_Grayscale8);
    QRandomGenerator random(7);
    for (int y = 0; y < noisy.height(); ++y) {
        uchar* row = noisy.scanLine(y);
        for (int x = 0; x < noisy.width(); ++x)
            row[x] = uchar(std::clamp(int(row[x]) + int(random.bounded(61)) - 30, 0, 255));
    }
    const std::pair<QImage, const char*> pages[] = {
        {noisy, "eng"},
        {testsupport::drawScan(chineseScan(), 300), "chi_sim+eng"},
    };
    for (const auto& [page, language] : pages) {
        const QImage rgb = batch::flattenPageImage(page);
        const QImage grey = batch::neutralGreyImage(rgb);
        QVERIFY(!grey.isNull());
        QCOMPARE(grey.convertToFormat(QImage::Format_RGB888), rgb);
        QByteArray hocr[2];
        for (int i = 0; i < 2; ++i) {
            const QImage& image = i == 0 ? rgb : grey;
            tesseract::TessBaseAPI engine;
            QCOMPARE(engine.Init(QFile::encodeName(models()).constData(), language), 0);
            engine.SetImage(image.constBits(), image.width(), image.height(), i == 0 ? 3 : 1,
                            int(image.bytesPerLine()));
            engine.SetSourceResolution(300);
            const std::unique_ptr<char[]> text(engine.GetHOCRText(0));
            hocr[i] = text.get();
        }
        QVERIFY(hocr[0].contains("x_wconf"));
        QCOMPARE(hocr[1], hocr[0]);
    }
}

void TestOcr::operationThroughWorker()
{
    const QString source = m_dir->filePath(u"扫描 件.pdf"_s);
    testsupport::writeDrawnPdf(source, {textPage(u"Cover page"_s), englishScan()});
    testsupport::addPdfaClaim(source, 2, 'A');
    testsupport::SourceGuard guard;
    guard.add(source);
    QTemporaryDir out;
    const QJsonObject request{{u"operation"_s, u"ocr"_s},
                              {u"inputs"_s, QJsonArray{source}},
                              {u"output"_s, out.path()},
                              {u"ocrLanguage"_s, u"eng"_s},
                              {u"ocrModels"_s, models()}};
    const testsupport::WorkerRun run = testsupport::runWorker(request);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.result.value(u"output"_s).toString(), out.path() + u"/扫描 件-可搜索.pdf"_s);
    // The note names the pages kept as they were, and the claim of PDF/A
    // level A that an untagged layer ends.
    QCOMPARE(run.result.value(u"note"_s).toString(),
             u"已生成可搜索 PDF。原页面保留，叠加可搜索文字层。第 1 页已有可选文字，按原样保留。"
             u"文字层没有标记结构，PDF/A-2A 声明改为 PDF/A-2U。"_s);
    // A clean run asks for no check: the note informs.
    QCOMPARE(run.result.value(u"review"_s).toBool(true), false);
    // Progress lines only on standard error, one per page.
    QList<QByteArray> progress;
    for (const QByteArray& line : run.standardError.split('\n')) {
        if (line.startsWith("{"))
            progress << line;
    }
    QCOMPARE(progress, (QList<QByteArray>{R"({"completed":1,"ocrProgress":true,"total":2})",
                                          R"({"completed":2,"ocrProgress":true,"total":2})"}));
    QCOMPARE(run.standardOutput.count('\n'), 1);
    QCOMPARE(testsupport::folderEntries(out.path()), QStringList{u"扫描 件-可搜索.pdf"_s});
    QVERIFY(guard.unchanged());
    // The result is searchable: the scan's words are read back from its text
    // layer, the text page keeps its own text.
    const QString output = run.result.value(u"output"_s).toString();
    QVERIFY(testsupport::popplerText(output, 0).contains(u"Cover page"_s));
    const QString scanned = testsupport::popplerText(output, 1).simplified();
    for (const QString& phrase : {u"quarterly report was approved"_s, u"signed contract"_s})
        QVERIFY2(scanned.contains(phrase), qPrintable(scanned));
    // The layer needs no later PDF version than the source's.
    const auto header = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.read(8) : QByteArray();
    };
    QCOMPARE(header(source), QByteArray("%PDF-1.4"));
    QCOMPARE(header(output), header(source));
    QPDF result;
    result.processFile(QFile::encodeName(output).constData());
    const std::shared_ptr<Buffer> xmp =
        result.getRoot().getKey("/Metadata").getStreamData(qpdf_dl_generalized);
    QVERIFY(QByteArray(reinterpret_cast<const char*>(xmp->getBuffer()), qsizetype(xmp->getSize()))
                .contains(R"(pdfaid:part="2" pdfaid:conformance="U")"));

    // Options are checked before anything else.
    QJsonObject bad = request;
    bad.insert(u"ocrModels"_s, u"relative"_s);
    QCOMPARE(testsupport::runWorker(bad).result.value(u"error"_s).toString(),
             u"请选择包含语言模型的 tessdata 文件夹。"_s);
}

void TestOcr::protectedAndRestrictedSources()
{
    QTemporaryDir out;
    const auto ocrRequest = [&](const QString& source, const QString& password) {
        return QJsonObject{{u"operation"_s, u"ocr"_s},   {u"inputs"_s, QJsonArray{source}},
                           {u"output"_s, out.path()},    {u"password"_s, password},
                           {u"ocrLanguage"_s, u"eng"_s}, {u"ocrModels"_s, models()}};
    };
    // An encrypted source: the result has the same passwords and identifier.
    const QString plain = m_dir->filePath(u"plain.pdf"_s);
    testsupport::writeDrawnPdf(plain, {{.lines = {u"Secret minutes"_s}}});
    testsupport::runWorker(QJsonObject{{u"operation"_s, u"encrypt"_s},
                                       {u"inputs"_s, QJsonArray{plain}},
                                       {u"output"_s, m_dir->path()},
                                       {u"newPassword"_s, u"pw"_s}});
    const QString locked = m_dir->filePath(u"plain-加密.pdf"_s);
    testsupport::SourceGuard guard;
    guard.add(locked);
    testsupport::WorkerRun run = testsupport::runWorker(ocrRequest(locked, u"pw"_s));
    QCOMPARE(run.exitCode, 0);
    const QString output = run.result.value(u"output"_s).toString();
    QVERIFY(!testsupport::inspectPdf(output).opened);
    const testsupport::PdfFacts facts = testsupport::inspectPdf(output, "pw");
    QVERIFY(facts.ownerMatched);
    QCOMPARE(facts.encryptionRevision, 6);
    QCOMPARE(facts.firstId, testsupport::inspectPdf(locked, "pw").firstId);
    QVERIFY(guard.unchanged());

    // Copying and modifying denied to users; the owner password lifts that.
    const QString restricted = m_dir->filePath(u"restricted.pdf"_s);
    testsupport::writeProtectedCopy(plain, restricted,
                                    {.encryption = testsupport::Encryption::R3Rc4,
                                     .userPassword = "u",
                                     .ownerPassword = "o",
                                     .allowModify = false,
                                     .allowExtract = false,
                                     .allowAssemble = false});
    guard.add(restricted);
    run = testsupport::runWorker(ocrRequest(restricted, u"o"_s));
    QCOMPARE(run.result.value(u"error"_s).toString(), QString());
    const QString restrictedOutput = run.result.value(u"output"_s).toString();
    QVERIFY(testsupport::inspectPdf(restrictedOutput, "o").ownerMatched);
    QVERIFY(guard.unchanged());

    // A form with fields is refused; an empty one, as producers often
    // write, is recognised.
    const QString form = m_dir->filePath(u"form.pdf"_s);
    testsupport::writePdf(form, {.textField = u"name"_s});
    run = testsupport::runWorker(ocrRequest(form, QString()));
    QVERIFY(run.result.value(u"error"_s).toString().startsWith(u"文档带有可填写的表单。"_s));
    const QString emptyForm = m_dir->filePath(u"empty-form.pdf"_s);
    testsupport::writePdf(emptyForm, {.emptyAcroForm = true});
    run = testsupport::runWorker(ocrRequest(emptyForm, QString()));
    QCOMPARE(run.result.value(u"error"_s).toString(), QString());
    QStringList left = testsupport::folderEntries(out.path());
    left.removeAll(QFileInfo(output).fileName());
    left.removeAll(QFileInfo(restrictedOutput).fileName());
    left.removeAll(QFileInfo(run.result.value(u"output"_s).toString()).fileName());
    QVERIFY(left.isEmpty());
}

void TestOcr::scanPageKeepsItsContent_data()
{
    QTest::addColumn<int>("rotate");
    QTest::addColumn<QPointF>("offset");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<double>("userUnit");
    QTest::addColumn<bool>("sealed"); // in colour, a red seal over the first lines
    using testsupport::ScanEncoding;
    QTest::newRow("upright JPEG") << 0 << QPointF() << int(ScanEncoding::Jpeg) << 0.0 << false;
    QTest::newRow("turned 90") << 90 << QPointF() << int(ScanEncoding::Jpeg) << 0.0 << false;
    QTest::newRow("turned 180, lossless")
        << 180 << QPointF() << int(ScanEncoding::Flate) << 0.0 << false;
    QTest::newRow("turned 270") << 270 << QPointF() << int(ScanEncoding::Jpeg) << 0.0 << false;
    QTest::newRow("offset crop box")
        << 0 << QPointF(40, 25) << int(ScanEncoding::Flate) << 0.0 << false;
    QTest::newRow("bilevel, turned 90, offset")
        << 90 << QPointF(12, 30) << int(ScanEncoding::Bilevel) << 0.0 << false;
    QTest::newRow("user unit 2") << 0 << QPointF(10, 10) << int(ScanEncoding::Jpeg) << 2.0 << false;
    QTest::newRow("soft mask") << 0 << QPointF() << int(ScanEncoding::SoftMask) << 0.0 << false;
    QTest::newRow("red seal, colour") << 0 << QPointF() << int(ScanEncoding::Jpeg) << 0.0 << true;
    QTest::newRow("inverted by /Decode")
        << 90 << QPointF() << int(ScanEncoding::InvertedDecode) << 0.0 << false;
}

// A recognised scan is its source page with words laid over it: content,
// picture and link unchanged, each word's box over the word as a viewer shows
// the page, whatever its /Rotate and crop box.
void TestOcr::scanPageKeepsItsContent()
{
    QFETCH(int, rotate);
    QFETCH(QPointF, offset);
    QFETCH(int, encoding);
    QFETCH(double, userUnit);
    QFETCH(bool, sealed);
    DrawnPage page = englishScan();
    page.seal = sealed;
    const QString source = m_dir->filePath(u"scan.pdf"_s);
    testsupport::writeScanPdf(source, testsupport::drawScan(page, 200), 200,
                              {.rotate = rotate,
                               .cropOffset = offset,
                               .encoding = testsupport::ScanEncoding(encoding),
                               .link = true,
                               .userUnit = userUnit});
    testsupport::SourceGuard guard;
    guard.add(source);
    QCOMPARE(runWorker(source, {}).last(), u"succeeded"_s);
    const QString output = m_dir->filePath(u"out.pdf"_s);
    QVERIFY(guard.unchanged());

    // The layer's own stream comes first; everything else is the source's.
    const QList<QByteArray> before = pageParts(source);
    const QList<QByteArray> after = pageParts(output);
    QCOMPARE(after.size(), before.size() + 1);
    QVERIFY(after.first().contains("Do Q"));
    QCOMPARE(after.mid(1), before);
    const testsupport::PdfFacts facts = testsupport::inspectPdf(output);
    QCOMPARE(facts.rotations, QList<int>{rotate});
    QVERIFY(QFileInfo(output).size() <= QFileInfo(source).size() * 5 / 4 + 16384);

    const QString text = testsupport::popplerText(output, 0);
    const double rate = testsupport::characterErrorRate(englishLines.join(u' '), text);
    QVERIFY2(rate < 0.02, qPrintable(text));
    int words = 0;
    const double onInk = wordsOnInk(output, &words);
    QVERIFY2(words >= 30 && onInk >= 0.9, qPrintable(u"%1 of %2"_s.arg(onInk).arg(words)));
}

void TestOcr::skewedScansReadInOrder_data()
{
    QTest::addColumn<double>("degrees");
    QTest::addColumn<bool>("chinese");
    QTest::newRow("English, 1.3°") << 1.3 << false;
    QTest::newRow("English, -3.2°") << -3.2 << false;
    QTest::newRow("English, 4.5°") << 4.5 << false;
    QTest::newRow("Chinese, -2.6°") << -2.6 << true;
}

// Viewers extract a skewed scan's lines whole and in order.
void TestOcr::skewedScansReadInOrder()
{
    QFETCH(double, degrees);
    QFETCH(bool, chinese);
    DrawnPage page = chinese ? chineseScan() : englishScan();
    page.lines += page.lines; // long enough for a slope to cross the next line
    page.skewDegrees = degrees;
    const QString source = m_dir->filePath(u"skewed.pdf"_s);
    testsupport::writeScanPdf(source, testsupport::drawScan(page, 300), 300);
    const QStringList log =
        runWorker(source, {.deskew = true}, chinese ? u"chi_sim+eng"_s : u"eng"_s);
    QCOMPARE(log.last(), u"succeeded"_s);
    QVERIFY(log.first().startsWith(u"notice:第 1 页倾斜校正 "_s));
    const QString text = testsupport::popplerText(m_dir->filePath(u"out.pdf"_s), 0);
    const double rate =
        testsupport::characterErrorRate(page.lines.join(chinese ? u""_s : u" "_s), text);
    QVERIFY2(rate < (chinese ? 0.04 : 0.01), qPrintable(u"%1\n%2"_s.arg(rate).arg(text)));
}

void TestOcr::sidewaysPagesTurnUpright_data()
{
    QTest::addColumn<int>("contentTurn");
    QTest::addColumn<int>("pageRotate");
    QTest::addColumn<int>("expectedRotate");
    QTest::newRow("content turned 90") << 90 << 0 << 270;
    QTest::newRow("upside down") << 180 << 0 << 180;
    QTest::newRow("content turned 270 on a page turned 90") << 270 << 90 << 180;
}

// A page whose scan lies sideways or upside down gains the /Rotate that shows
// it upright, and its words lie on their ink.
void TestOcr::sidewaysPagesTurnUpright()
{
    QFETCH(int, contentTurn);
    QFETCH(int, pageRotate);
    QFETCH(int, expectedRotate);
    DrawnPage page = englishScan();
    page.lines += page.lines;
    const QImage scan =
        testsupport::drawScan(page, 200).transformed(QTransform().rotate(contentTurn));
    const QString source = m_dir->filePath(u"sideways.pdf"_s);
    testsupport::writeScanPdf(source, scan, 200, {.rotate = pageRotate});
    const QStringList log = runWorker(source, {});
    QCOMPARE(log.last(), u"succeeded"_s);
    QVERIFY(log.contains(u"notice:第 1 页方向已自动转正。"_s));
    const QString output = m_dir->filePath(u"out.pdf"_s);
    QCOMPARE(testsupport::inspectPdf(output).rotations, QList<int>{expectedRotate});
    const QString text = testsupport::popplerText(output, 0);
    QVERIFY2(testsupport::characterErrorRate(page.lines.join(u' '), text) < 0.02, qPrintable(text));
    int words = 0;
    QVERIFY(wordsOnInk(output, &words) >= 0.9 && words >= 60);
}

void TestOcr::columnsReadAsColumns_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<bool>("chinese");
    QTest::newRow("English, two columns") << 2 << false;
    QTest::newRow("English, three columns") << 3 << false;
    QTest::newRow("Chinese, two columns") << 2 << true;
}

// A bulletin's columns extract one after the other, in the order viewers
// read text (as laid out, and as written).
void TestOcr::columnsReadAsColumns()
{
    QFETCH(int, columns);
    QFETCH(bool, chinese);
    const QStringList english{u"Members met on"_s,  u"Monday to approve"_s,
                              u"the new budget."_s, u"The library opens"_s,
                              u"at nine daily"_s,   u"except holidays."_s};
    const QStringList chinesePhrases{u"本周一召开全体会议"_s, u"审议通过年度预算"_s,
                                     u"图书馆每天九点开放"_s, u"节假日另行通知"_s};
    DrawnPage page{.lines = {},
                   .family = chinese ? u"Noto Sans CJK SC"_s : u"DejaVu Serif"_s,
                   .pointSize = 10,
                   .columns = columns};
    const QStringList& phrases = chinese ? chinesePhrases : english;
    const int perColumn = 8;
    for (int i = 0; i < perColumn * columns; ++i)
        page.lines << phrases.at(i % phrases.size()) + u' ' + QString::number(i + 1);
    const QString source = m_dir->filePath(u"columns.pdf"_s);
    testsupport::writeScanPdf(source, testsupport::drawScan(page, 300), 300);
    QCOMPARE(runWorker(source, {}, chinese ? u"chi_sim+eng"_s : u"eng"_s).last(), u"succeeded"_s);
    const QString output = m_dir->filePath(u"out.pdf"_s);
    const QString expected = page.lines.join(u' ');
    for (const QStringList& order : {QStringList(), QStringList{u"-raw"_s}}) {
        QProcess extraction;
        extraction.start(u"pdftotext"_s, order + QStringList{output, u"-"_s});
        QVERIFY(extraction.waitForFinished(60000));
        const QString text = QString::fromUtf8(extraction.readAllStandardOutput());
        const double rate = testsupport::characterErrorRate(expected, text);
        QVERIFY2(rate < 0.03, qPrintable(u"%1 %2\n%3"_s.arg(order.join(u' ')).arg(rate).arg(text)));
    }
}

void TestOcr::hiddenTextGoesWithoutMovingAnything_data()
{
    QTest::addColumn<QByteArray>("content"); // /F1 is Helvetica
    QTest::addColumn<bool>("stripped");      // the hidden words are gone
    QTest::newRow("hidden line, then a line of its own")
        << QByteArray("BT /F1 20 Tf 3 Tr 20 100 Td (hidden) Tj 0 Tr 0 -30 Td (shown) Tj ET")
        << true;
    QTest::newRow("hidden, then shown on the same line")
        << QByteArray("BT /F1 20 Tf 3 Tr 20 100 Td (hidden) Tj 0 Tr (shown) Tj ET") << false;
    QTest::newRow("hidden, a move, shown")
        << QByteArray("BT /F1 20 Tf 3 Tr 20 100 Td (hidden) Tj 0 Tr 0 -30 TD (shown) Tj ET")
        << true;
    QTest::newRow("text that clips a fill")
        << QByteArray("q BT /F1 60 Tf 7 Tr 10 60 Td (CLIP) Tj ET 0 0 1 rg 0 0 200 200 re f Q")
        << false;
}

// Old invisible text is removed from a page recognised again, and nothing
// the page shows moves or changes colour.
void TestOcr::hiddenTextGoesWithoutMovingAnything()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, stripped);
    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle page = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /Page /MediaBox [0 0 200 200] /Resources << /Font << /F1 << /Type /Font "
        "/Subtype /Type1 /BaseFont /Helvetica >> >> >> >>"));
    page.replaceKey("/Contents", pdf.newStream(content.toStdString()));
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
    const auto written = [&pdf](const QString& name) {
        const QString path = QDir(QDir::tempPath()).filePath(name);
        // The writer keeps the name's pointer until it has written.
        const QByteArray file = QFile::encodeName(path);
        QPDFWriter writer(pdf, file.constData());
        writer.write();
        return path;
    };
    const QString before = written(u"hidden-before.pdf"_s);
    QCOMPARE(batch::stripInvisibleText(
                 pdf, QPDFPageDocumentHelper(pdf).getAllPages().front().getObjectHandle()),
             stripped);
    const QString after = written(u"hidden-after.pdf"_s);
    QCOMPARE(testsupport::renderPages(after), testsupport::renderPages(before));
    if (content.contains("(hidden)"))
        QCOMPARE(testsupport::popplerText(after, 0).contains(u"hidden"_s), !stripped);
    QFile::remove(before);
    QFile::remove(after);
}

// Pictures made a PDF and recognised in the same job: phone photos of
// receipts become one searchable document.
void TestOcr::photosRecognisedInOneStep()
{
    QTemporaryDir folder;
    const QString photo = folder.filePath(u"收据.png"_s);
    QImage scan = testsupport::drawScan(
        {.lines = {u"The quarterly report was approved"_s, u"Receipt for the signed contract"_s}},
        200);
    scan.setDotsPerMeterX(qRound(200 / 0.0254));
    scan.setDotsPerMeterY(qRound(200 / 0.0254));
    QVERIFY(scan.save(photo));
    testsupport::SourceGuard guard;
    guard.add(photo);
    const QJsonObject request{{u"operation"_s, u"images2pdf"_s}, {u"inputs"_s, QJsonArray{photo}},
                              {u"output"_s, folder.path()},      {u"recognize"_s, true},
                              {u"ocrLanguage"_s, u"eng"_s},      {u"ocrModels"_s, models()}};
    const testsupport::WorkerRun run = testsupport::runWorker(request);
    QVERIFY2(run.exitCode == 0, run.standardOutput.constData());
    const QString text =
        testsupport::popplerText(run.result.value(u"output"_s).toString(), 0).simplified();
    QVERIFY2(text.contains(u"quarterly report was approved"_s), qPrintable(text));
    QVERIFY(guard.unchanged());
}

QTEST_MAIN(TestOcr)
#include "tst_ocr.moc"
