// Page preparation on synthetic images, where the right answer is known.
#include "ocr/ocrdocument.h"
#include "ocr/pageimage.h"
#include "ocr/pagepicture.h"
#include "ocr/pagetools.h"
#include "ocr/pagework.h"
#include "ocr/textlayer.h"
#include "testsupport.h"

#include <QBuffer>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <cstring>

using namespace Qt::StringLiterals;

namespace {

QImage textImage(double skewDegrees)
{
    testsupport::DrawnPage page;
    page.lines = {u"The quick brown fox jumps over the lazy dog near the river bank."_s,
                  u"Pack my box with five dozen liquor jugs before the evening train."_s,
                  u"Sphinx of black quartz, judge my vow; the five boxing wizards jump."_s,
                  u"How vexingly quick daft zebras jump when the wind blows hard."_s,
                  u"Bright vixens jump; dozy fowl quack while the farmer sleeps."_s,
                  u"Jackdaws love my big sphinx of quartz in the cold morning light."_s};
    page.skewDegrees = skewDegrees;
    return testsupport::drawScan(page, 150).convertToFormat(QImage::Format_RGB888);
}

QImage filled(int width, int height, QColor colour)
{
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(colour);
    return image;
}

// The pixels of the one picture on the first page, decoded by QPDF.
QImage embeddedPicture(const QString& path)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(path).constData());
    QPDFObjectHandle image =
        QPDFPageDocumentHelper(pdf).getAllPages().front().getImages().begin()->second;
    QPDFObjectHandle dict = image.getDict();
    const int width = dict.getKey("/Width").getIntValueAsInt();
    const int height = dict.getKey("/Height").getIntValueAsInt();
    const int bits = dict.getKey("/BitsPerComponent").getIntValueAsInt();
    const bool rgb = dict.getKey("/ColorSpace").isNameAndEquals("/DeviceRGB");
    const std::shared_ptr<Buffer> data = image.getStreamData(qpdf_dl_all);
    QImage decoded(width, height,
                   bits == 1 ? QImage::Format_Mono
                             : (rgb ? QImage::Format_RGB888 : QImage::Format_Grayscale8));
    if (bits == 1) {
        const bool inverted = dict.getKey("/Decode").isArray();
        decoded.setColorTable({inverted ? qRgb(255, 255, 255) : qRgb(0, 0, 0),
                               inverted ? qRgb(0, 0, 0) : qRgb(255, 255, 255)});
    }
    const qsizetype rowBytes = (qsizetype(width) * bits * (rgb ? 3 : 1) + 7) / 8;
    for (int y = 0; y < height; ++y)
        std::memcpy(decoded.scanLine(y), data->getBuffer() + y * rowBytes, size_t(rowBytes));
    return decoded.convertToFormat(QImage::Format_RGB888);
}

int greyAt(const QImage& image, int x, int y)
{
    return qGray(image.pixel(x, y));
}

} // namespace

class TestPageImage : public QObject
{
    Q_OBJECT
private slots:
    void flattenPutsTransparencyOnWhite();
    void sealsAreReadAway_data();
    void sealsAreReadAway();
    void compactFormKeepsPixels();
    void picturesKeepPixels();
    void deskewStraightensTwoDegrees_data();
    void deskewStraightensTwoDegrees();
    void deskewLeavesUnconvincingPagesAlone();
    void deskewHonoursCancellation();
    void enhanceStretchesAndDespeckles();
    void enhanceHonoursCancellation();
    void pixelSizeLimits_data();
    void pixelSizeLimits();
    void recognitionResolution_data();
    void recognitionResolution();
    void scanPicturesDecodeUpright_data();
    void scanPicturesDecodeUpright();
    void lineHeightOfText();
    void separatorSheetsAreBlank_data();
    void separatorSheetsAreBlank();
};

void TestPageImage::flattenPutsTransparencyOnWhite()
{
    QImage image(4, 2, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    image.setPixelColor(0, 0, QColor(0, 0, 0));
    image.setPixelColor(1, 0, QColor(255, 0, 0, 128));
    // Renderers hand over either form of alpha.
    for (const QImage& rendered :
         {image, image.convertToFormat(QImage::Format_ARGB32_Premultiplied)}) {
        const QImage flat = batch::flattenPageImage(rendered);
        QCOMPARE(flat.format(), QImage::Format_RGB888);
        QCOMPARE(flat.size(), image.size());
        QCOMPARE(flat.pixelColor(0, 0), QColor(0, 0, 0));
        QCOMPARE(flat.pixelColor(3, 1), QColor(255, 255, 255));
        const QColor blended = flat.pixelColor(1, 0);
        QCOMPARE(blended.red(), 255);
        QVERIFY(qAbs(blended.green() - 127) <= 2);
    }
}

void TestPageImage::sealsAreReadAway_data()
{
    QTest::addColumn<QColor>("ink");
    QTest::addColumn<QString>("shape"); // ring, square, remark
    QTest::addColumn<bool>("jpeg");     // the page through a 4:2:0 JPEG
    QTest::addColumn<bool>("seal");
    const QColor red(210, 20, 30);
    QTest::newRow("red ring") << red << u"ring"_s << false << true;
    QTest::newRow("red ring, JPEG") << red << u"ring"_s << true << true;
    QTest::newRow("blue ring") << QColor(30, 60, 200) << u"ring"_s << false << true;
    QTest::newRow("red square outline, JPEG") << red << u"square"_s << true << true;
    QTest::newRow("red remark of four lines") << red << u"remark"_s << false << false;
}

// A seal over black text is read away, the text under it kept, JPEG's paled
// ink included; red text that is no seal, and a wide red letterhead, stay.
void TestPageImage::sealsAreReadAway()
{
    QFETCH(QColor, ink);
    QFETCH(QString, shape);
    QFETCH(bool, jpeg);
    QFETCH(bool, seal);
    const int dpi = 200;
    QImage page(8 * dpi, 10 * dpi, QImage::Format_RGB888);
    page.fill(Qt::white);
    QPainter painter(&page);
    painter.fillRect(QRect(dpi, 2 * dpi, 4 * dpi, 10), Qt::black);                // a line of text
    painter.fillRect(QRect(dpi, dpi / 2, 5 * dpi, dpi / 2), QColor(210, 20, 30)); // letterhead
    painter.end();
    QVERIFY(batch::sealFreeGrey(page, dpi).isNull());

    painter.begin(&page);
    painter.setCompositionMode(QPainter::CompositionMode_Multiply);
    painter.setPen(QPen(ink, 8));
    const QPoint centre(2 * dpi, 2 * dpi);
    const int radius = dpi * 3 / 4;
    if (shape == u"ring"_s) {
        painter.drawEllipse(centre, radius, radius);
    } else if (shape == u"square"_s) {
        painter.drawRect(QRect(centre - QPoint(radius, radius), QSize(2 * radius, 2 * radius)));
    } else {
        // One inch by 0.8: four lines of a reviewer's handwriting-sized remark.
        QFont font(u"DejaVu Sans"_s);
        font.setPixelSize(dpi / 7);
        painter.setFont(font);
        painter.setPen(ink);
        for (int line = 0; line < 4; ++line)
            painter.drawText(QPoint(centre.x() - dpi / 2, centre.y() - dpi / 4 + line * dpi / 5),
                             u"Check w/ legal"_s);
    }
    painter.end();
    if (jpeg) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(page.save(&buffer, "JPEG", 75));
        page = QImage::fromData(bytes).convertToFormat(QImage::Format_RGB888);
    }
    const QImage grey = batch::sealFreeGrey(page, dpi);
    QCOMPARE(grey.isNull(), !seal);
    if (!seal)
        return;
    const auto at = [&grey](int x, int y) {
        return int(grey.constScanLine(y)[x]);
    };
    // The seal's ink is paper, wherever it is drawn and however paled.
    int inkLeft = 0;
    for (int y = centre.y() - radius - 6; y <= centre.y() - radius + 6; ++y)
        inkLeft += at(centre.x() - dpi / 4, y) < 235 ? 1 : 0;
    QCOMPARE(inkLeft, 0);
    QVERIFY(at(centre.x() + radius, centre.y() + 4) < 60); // the text under it
    QVERIFY(at(3 * dpi, dpi * 3 / 4) < 120);               // the letterhead, as luminance
}

void TestPageImage::compactFormKeepsPixels()
{
    QImage grey = textImage(0);
    QCOMPARE(batch::compactPageImage(grey).format(), QImage::Format_Grayscale8);
    QCOMPARE(batch::compactPageImage(grey).convertToFormat(QImage::Format_RGB888), grey);

    QImage mono = filled(64, 64, Qt::white);
    mono.setPixelColor(3, 4, Qt::black);
    QCOMPARE(batch::compactPageImage(mono).format(), QImage::Format_Mono);
    QCOMPARE(batch::compactPageImage(mono).convertToFormat(QImage::Format_RGB888), mono);

    QImage colour = grey;
    colour.setPixelColor(10, 10, QColor(200, 10, 10));
    QCOMPARE(batch::compactPageImage(colour).format(), QImage::Format_RGB888);
    QCOMPARE(batch::compactPageImage(colour), colour);
}

void TestPageImage::picturesKeepPixels()
{
    // A scanned picture made into a searchable page: every form reads back from
    // the PDF as the same pixels, whichever way a 1-bit image's table is ordered.
    QTemporaryDir dir;
    QImage grey = textImage(0);
    QImage mono = filled(70, 33, Qt::white);
    mono.setPixelColor(3, 4, Qt::black);
    mono.setPixelColor(69, 32, Qt::black);
    QImage colour = grey;
    colour.setPixelColor(10, 10, QColor(200, 10, 10));
    const QImage monoBits = batch::compactPageImage(mono);
    QImage swapped = monoBits;
    swapped.setColorTable({monoBits.color(1), monoBits.color(0)});
    swapped.invertPixels();
    QCOMPARE(swapped.convertToFormat(QImage::Format_RGB888), mono);

    const QList<std::pair<QImage, QImage>> cases = {
        {grey, grey}, {monoBits, mono}, {swapped, mono}, {colour, colour}};
    for (const auto& [picture, expected] : cases) {
        const QString path = dir.filePath(u"page.pdf"_s);
        QFile::remove(path);
        const batch::TextLayer layer{QSizeF(picture.size()), "BT ET"};
        QVERIFY(
            batch::writeSearchablePicture(picture, QSizeF(picture.size()), layer, "font", path));
        QCOMPARE(embeddedPicture(path), expected);
    }
    QString error;
    QVERIFY(!batch::writeSearchablePicture(grey, QSizeF(grey.size()), {}, "font",
                                           dir.filePath(u"missing/page.pdf"_s), &error));
    QVERIFY(!error.isEmpty());
}

void TestPageImage::deskewStraightensTwoDegrees_data()
{
    QTest::addColumn<double>("skew");
    QTest::newRow("clockwise") << 2.0;
    QTest::newRow("counter-clockwise") << -2.0;
    QTest::newRow("larger") << 3.5;
    QTest::newRow("near the search window's edge") << -4.5;
}

void TestPageImage::deskewStraightensTwoDegrees()
{
    QFETCH(double, skew);
    const batch::DeskewResult result = batch::deskewImage(textImage(skew), {});
    // The correction turns the other way, by the same amount within one step.
    QVERIFY2(qAbs(result.angle + skew) <= 0.25, qPrintable(QString::number(result.angle)));
    QCOMPARE(std::fmod(result.angle, 0.25), 0.0);
    QCOMPARE(result.image.size(), textImage(skew).size());
    QCOMPARE(result.image.format(), QImage::Format_RGB888);
    // An upright page stays as it is.
    QCOMPARE(batch::deskewImage(textImage(0), {}).angle, 0.0);
}

void TestPageImage::deskewLeavesUnconvincingPagesAlone()
{
    const QImage narrow = filled(31, 400, Qt::white);
    QCOMPARE(batch::deskewImage(narrow, {}).image, narrow);
    for (const QColor colour : {QColor(Qt::white), QColor(Qt::black)}) {
        const QImage page = filled(600, 800, colour);
        const batch::DeskewResult result = batch::deskewImage(page, {});
        QCOMPARE(result.angle, 0.0);
        QCOMPARE(result.image, page);
    }
    // A page turned beyond the search window (±5°) is turned back as far as
    // the window reaches, which leaves less skew to read through.
    const double beyond = batch::deskewImage(textImage(9), {}).angle;
    QVERIFY2(beyond <= -4.5 && beyond > -5, qPrintable(QString::number(beyond)));
}

void TestPageImage::deskewHonoursCancellation()
{
    const QImage page = textImage(2);
    const batch::DeskewResult result = batch::deskewImage(page, [] { return true; });
    QCOMPARE(result.angle, 0.0);
    QCOMPARE(result.image, page);
}

void TestPageImage::enhanceStretchesAndDespeckles()
{
    // Grey values 100..180: stretched so that the extremes reach 0 and 255.
    QImage ramp(81, 10, QImage::Format_RGB888);
    for (int x = 0; x < 81; ++x) {
        for (int y = 0; y < 10; ++y)
            ramp.setPixelColor(x, y, QColor(100 + x, 100 + x, 100 + x));
    }
    const QImage stretched = *batch::enhanceForRecognition(ramp, {});
    QCOMPARE(stretched.format(), QImage::Format_RGB888);
    QCOMPARE(greyAt(stretched, 0, 5), 0);
    QCOMPARE(greyAt(stretched, 80, 5), 255);
    QVERIFY(qAbs(greyAt(stretched, 40, 5) - 128) <= 4);

    // Uniform grey cannot be stretched; it passes unchanged.
    QCOMPARE(
        greyAt(*batch::enhanceForRecognition(filled(30, 30, QColor(120, 120, 120)), {}), 15, 15),
        120);

    // A lone speck goes; a 2×1 pair and the border stay; the background stretches to white.
    QImage page = filled(20, 20, QColor(230, 230, 230));
    page.setPixelColor(5, 5, Qt::black);
    page.setPixelColor(10, 10, Qt::black);
    page.setPixelColor(11, 10, Qt::black);
    page.setPixelColor(0, 7, Qt::black);
    page.setPixelColor(19, 19, Qt::black);
    const QImage cleaned = *batch::enhanceForRecognition(page, {});
    QCOMPARE(greyAt(cleaned, 5, 5), 255);
    QCOMPARE(greyAt(cleaned, 10, 10), 0);
    QCOMPARE(greyAt(cleaned, 11, 10), 0);
    QCOMPARE(greyAt(cleaned, 0, 7), 0);
    QCOMPARE(greyAt(cleaned, 19, 19), 0);
    QCOMPARE(greyAt(cleaned, 3, 3), 255);
}

void TestPageImage::enhanceHonoursCancellation()
{
    QVERIFY(!batch::enhanceForRecognition(filled(50, 50, Qt::white), [] { return true; }));
}

void TestPageImage::pixelSizeLimits_data()
{
    QTest::addColumn<QSizeF>("points");
    QTest::addColumn<int>("dpi");
    QTest::addColumn<QSize>("pixels"); // empty: refused
    QTest::newRow("A4 150") << QSizeF(595, 842) << 150 << QSize(1240, 1755);
    QTest::newRow("A4 200") << QSizeF(595, 842) << 200 << QSize(1653, 2339);
    QTest::newRow("A4 300") << QSizeF(595, 842) << 300 << QSize(2480, 3509);
    QTest::newRow("A0 150") << QSizeF(2384, 3370) << 150 << QSize(4967, 7021);
    QTest::newRow("A0 200 over 40 MP") << QSizeF(2384, 3370) << 200 << QSize();
    QTest::newRow("side of 20000") << QSizeF(4800, 100) << 300 << QSize(20000, 417);
    QTest::newRow("side of 20005") << QSizeF(4801, 100) << 300 << QSize();
    QTest::newRow("empty page") << QSizeF(0, 100) << 300 << QSize();
    QTest::newRow("not finite") << QSizeF(qInf(), 100) << 300 << QSize();
}

void TestPageImage::pixelSizeLimits()
{
    QFETCH(QSizeF, points);
    QFETCH(int, dpi);
    QFETCH(QSize, pixels);
    QSize result;
    QCOMPARE(batch::pagePixelSize(points, dpi, result), !pixels.isEmpty());
    if (!pixels.isEmpty())
        QCOMPARE(result, pixels);
}

void TestPageImage::recognitionResolution_data()
{
    QTest::addColumn<int>("chosen");
    QTest::addColumn<double>("picture");
    QTest::addColumn<double>("linePoints");
    QTest::addColumn<double>("expected");
    // 11.04 pt lines are 46 pixels at 300 DPI.
    QTest::newRow("rendered page") << 300 << 0.0 << 12.0 << 300.0;
    QTest::newRow("scan, lines unknown") << 300 << 300.0 << 0.0 << 300.0;
    QTest::newRow("scan, lines unknown, lower choice") << 150 << 300.0 << 0.0 << 150.0;
    QTest::newRow("scan reduced to 30-pixel lines") << 300 << 300.0 << 11.04 << 9000.0 / 46;
    QTest::newRow("the choice caps it") << 150 << 300.0 << 11.04 << 150.0;
    QTest::newRow("2400 DPI scan") << 300 << 2400.0 << 11.04 << 9000.0 / 46;
    QTest::newRow("large print, never below 150") << 300 << 300.0 << 24.0 << 150.0;
    QTest::newRow("small lines enlarged twice") << 300 << 75.0 << 11.04 << 150.0;
    QTest::newRow("tiny lines enlarged twice") << 300 << 100.0 << 4.0 << 200.0;
    QTest::newRow("enlarging stays within the choice") << 150 << 150.0 << 5.0 << 150.0;
}

void TestPageImage::recognitionResolution()
{
    QFETCH(int, chosen);
    QFETCH(double, picture);
    QFETCH(double, linePoints);
    QFETCH(double, expected);
    QVERIFY2(std::abs(batch::recognitionDpi(chosen, picture, linePoints) - expected) < 0.5,
             qPrintable(QString::number(batch::recognitionDpi(chosen, picture, linePoints))));
}

void TestPageImage::scanPicturesDecodeUpright_data()
{
    QTest::addColumn<int>("rotate");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QPointF>("offset");
    using testsupport::ScanEncoding;
    QTest::newRow("JPEG") << 0 << int(ScanEncoding::Jpeg) << QPointF();
    QTest::newRow("Flate, turned 90") << 90 << int(ScanEncoding::Flate) << QPointF(30, 12);
    QTest::newRow("Flate, turned 180") << 180 << int(ScanEncoding::Flate) << QPointF();
    QTest::newRow("mask, turned 270") << 270 << int(ScanEncoding::Bilevel) << QPointF(7, 40);
    QTest::newRow("mask, offset crop box") << 0 << int(ScanEncoding::Bilevel) << QPointF(55, 20);
}

// The decoded picture is the scan as the viewer shows it: the same pixels,
// and the same picture Poppler renders.
void TestPageImage::scanPicturesDecodeUpright()
{
    QFETCH(int, rotate);
    QFETCH(int, encoding);
    QFETCH(QPointF, offset);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"scan.pdf"_s);
    QImage scan = textImage(0).convertToFormat(QImage::Format_Grayscale8);
    if (encoding == int(testsupport::ScanEncoding::Bilevel)) {
        for (int y = 0; y < scan.height(); ++y) {
            uchar* row = scan.scanLine(y);
            for (int x = 0; x < scan.width(); ++x)
                row[x] = row[x] >= 128 ? 255 : 0;
        }
    }
    testsupport::writeScanPdf(
        path, scan, 150,
        {.rotate = rotate, .cropOffset = offset, .encoding = testsupport::ScanEncoding(encoding)});
    batch::OcrDocument document;
    QVERIFY(document.load(path));
    QCOMPARE(document.pictureDpis({0}), QList<double>{150.0});
    const batch::PagePicture picture = document.picture(0);
    QCOMPARE(picture.pixels.size(), scan.size());
    const QSizeF points = document.pageSize(0);
    QVERIFY(std::abs(picture.placement.width() - points.width()) < 0.01);
    QVERIFY(std::abs(picture.placement.height() - points.height()) < 0.01);
    QVERIFY(std::abs(picture.placement.left()) < 0.01 && std::abs(picture.placement.top()) < 0.01);

    const QImage decoded = picture.pixels.convertToFormat(QImage::Format_Grayscale8);
    const QImage rendered =
        document.render(0, scan.size()).convertToFormat(QImage::Format_Grayscale8);
    double fromScan = 0;
    double fromRendering = 0;
    for (int y = 0; y < scan.height(); ++y) {
        for (int x = 0; x < scan.width(); ++x) {
            fromScan += std::abs(decoded.constScanLine(y)[x] - scan.constScanLine(y)[x]);
            fromRendering += std::abs(decoded.constScanLine(y)[x] - rendered.constScanLine(y)[x]);
        }
    }
    const double pixels = double(scan.width()) * scan.height();
    if (encoding == int(testsupport::ScanEncoding::Jpeg))
        QVERIFY2(fromScan / pixels < 2, qPrintable(QString::number(fromScan / pixels)));
    else
        QCOMPARE(decoded, scan);
    QVERIFY2(fromRendering / pixels < 6, qPrintable(QString::number(fromRendering / pixels)));

    // A page that draws anything else is no scan.
    testsupport::writePdf(path, {});
    QVERIFY(document.load(path));
    QCOMPARE(document.pictureDpis({0}), QList<double>{0.0});
    QVERIFY(document.picture(0).pixels.isNull());
}

void TestPageImage::lineHeightOfText()
{
    // textImage draws 14 pt lines at 150 DPI: ink some 25 to 32 pixels high.
    const double height = batch::medianLineHeight(textImage(0));
    QVERIFY2(height >= 22 && height <= 34, qPrintable(QString::number(height)));
    QCOMPARE(batch::medianLineHeight(filled(300, 300, Qt::white)), 0.0);
}

void TestPageImage::separatorSheetsAreBlank_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("marks");
    QTest::addColumn<bool>("scanned");
    QTest::addColumn<bool>("blank");
    using testsupport::SheetMark;
    const QStringList none;
    QTest::newRow("white sheet") << none << 0 << true << true;
    QTest::newRow("scanner noise") << none << int(SheetMark::GreyNoise) << true << true;
    QTest::newRow("bleed-through on a dim scan")
        << none << int(SheetMark::GreyNoise | SheetMark::BleedThrough) << true << true;
    QTest::newRow("page number") << none << int(SheetMark::PageNumber) << true << true;
    QTest::newRow("punched holes")
        << none << int(SheetMark::GreyNoise | SheetMark::PunchHoles) << true << true;
    QTest::newRow("one short line") << QStringList{u"签字："_s} << 0 << true << false;
    QTest::newRow("one line, noisy")
        << QStringList{u"本页以下空白。"_s} << int(SheetMark::GreyNoise) << true << false;
    QTest::newRow("one line of real text") << QStringList{u"附件二"_s} << 0 << false << false;
    QTest::newRow("text page") << QStringList(12, u"合同条款与付款方式说明"_s) << 0 << true
                               << false;
}

// Drawn as Poppler draws the page, with the threshold the split uses.
void TestPageImage::separatorSheetsAreBlank()
{
    QFETCH(QStringList, lines);
    QFETCH(int, marks);
    QFETCH(bool, scanned);
    QFETCH(bool, blank);
    QTemporaryDir folder;
    const QString path = folder.filePath(u"sheet.pdf"_s);
    testsupport::DrawnPage page{
        .lines = lines, .scanned = scanned, .family = u"Noto Sans CJK SC"_s, .pointSize = 12};
    page.sheetMarks = marks;
    testsupport::writeDrawnPdf(path, {page}, 150);
    const QList<int> found =
        batch::findBlankPages(batch::read(path, QString()), batch::JobRequest().blankThreshold, {});
    QCOMPARE(found, blank ? QList<int>{0} : QList<int>{});
}

QTEST_MAIN(TestPageImage)
#include "tst_pageimage.moc"
