#include "testsupport.h"

#include <QBuffer>
#include <QFile>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

#include <poppler/qt6/poppler-qt6.h>

#include <algorithm>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio> // jpeglib.h needs FILE
#include <cstdlib>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <zlib.h>

namespace testsupport {

namespace {

constexpr double a4Width = 595.0; // points
constexpr double a4Height = 842.0;

// zlib data at the default level, as most producers write it.
QByteArray zlibCompressed(const QByteArray& data)
{
    uLongf size = compressBound(uLong(data.size()));
    QByteArray out(qsizetype(size), '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size,
              reinterpret_cast<const Bytef*>(data.constData()), uLong(data.size()),
              Z_DEFAULT_COMPRESSION);
    out.resize(qsizetype(size));
    return out;
}

// Qt writes neither CMYK JPEG nor RGB without the colour transform: libjpeg,
// with the Adobe marker it adds for CMYK, and for RGB no marker at all and
// component ids 1, 2, 3, which decoders guess to be YCbCr.
QByteArray libjpegOf(const QImage& picture, bool cmyk)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &out, &size);
    info.image_width = JDIMENSION(rgb.width());
    info.image_height = JDIMENSION(rgb.height());
    info.input_components = cmyk ? 4 : 3;
    info.in_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    if (!cmyk) {
        jpeg_set_colorspace(&info, JCS_RGB);
        info.write_JFIF_header = FALSE;
        info.write_Adobe_marker = FALSE;
        for (int c = 0; c < 3; ++c)
            info.comp_info[c].component_id = c + 1;
    }
    jpeg_start_compress(&info, TRUE);
    std::vector<unsigned char> row(size_t(rgb.width()) * 4);
    while (info.next_scanline < info.image_height) {
        const uchar* in = rgb.constScanLine(int(info.next_scanline));
        for (int x = 0; x < rgb.width() && !cmyk; ++x)
            for (int c = 0; c < 3; ++c)
                row[size_t(3 * x + c)] = in[3 * x + c];
        for (int x = 0; x < rgb.width() && cmyk; ++x) {
            const int black = 255 - std::max({in[3 * x], in[3 * x + 1], in[3 * x + 2]});
            for (int c = 0; c < 3; ++c)
                row[size_t(4 * x + c)] = uchar(255 - in[3 * x + c] - black);
            row[size_t(4 * x + 3)] = uchar(black);
        }
        unsigned char* rows[] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    const QByteArray jpeg(reinterpret_cast<const char*>(out), qsizetype(size));
    std::free(out);
    return jpeg;
}

constexpr double margin = 72;
constexpr double gutter = 18; // between columns: one and a half ems of 12-pt text

void drawLines(QPainter& painter, const DrawnPage& page, double unitsPerPoint)
{
    QFont font(page.family);
    font.setPixelSize(qRound(page.pointSize * unitsPerPoint));
    painter.setFont(font);
    painter.setPen(Qt::black);
    const double lineHeight = page.pointSize * 1.8 * unitsPerPoint;
    const int columns = std::max(1, page.columns);
    const qsizetype perColumn = (page.lines.size() + columns - 1) / columns;
    const double columnWidth = (a4Width - 2 * margin - (columns - 1) * gutter) / columns;
    for (qsizetype i = 0; i < page.lines.size(); ++i) {
        const qsizetype column = i / perColumn;
        const double x = margin + column * (columnWidth + gutter);
        const double y = 90 * unitsPerPoint + (i % perColumn) * lineHeight;
        painter.drawText(QPointF(x * unitsPerPoint, y), page.lines.at(i));
    }
}

// A red official seal, ring, star and its name around the top, over the right
// end of the second and third lines; red ink darkens what lies under it.
void drawSeal(QPainter& painter, const DrawnPage& page, double unitsPerPoint)
{
    const QColor red(205, 30, 35);
    const double radius = 60 * unitsPerPoint;
    const QPointF centre((a4Width - margin - 70) * unitsPerPoint,
                         (90 + page.pointSize * 1.8 * 1.5) * unitsPerPoint);
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_Multiply);
    painter.setPen(QPen(red, 4 * unitsPerPoint));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(centre, radius, radius);
    QPolygonF star;
    for (int i = 0; i < 10; ++i) {
        const double angle = -M_PI / 2 + i * M_PI / 5;
        const double reach = (i % 2 ? 0.12 : 0.3) * radius;
        star << centre + QPointF(std::cos(angle) * reach, std::sin(angle) * reach);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(red);
    painter.drawPolygon(star);
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(qRound(14 * unitsPerPoint));
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(red);
    const QString name = QStringLiteral("某某市人民政府办公室");
    for (qsizetype i = 0; i < name.size(); ++i) {
        const double degrees = -150 + 120.0 * double(i) / double(name.size() - 1);
        painter.save();
        painter.translate(centre);
        painter.rotate(degrees + 90);
        painter.drawText(QPointF(-7 * unitsPerPoint, -radius + 20 * unitsPerPoint), name.mid(i, 1));
        painter.restore();
    }
    painter.restore();
}

} // namespace

// The other side's text shining through, punched holes, a page number.
void drawSheetMarks(QPainter& painter, int marks, double scale)
{
    if (marks & BleedThrough) {
        painter.save();
        painter.translate(a4Width * scale, 0);
        painter.scale(-1, 1);
        QFont font(QStringLiteral("Noto Sans CJK SC"));
        font.setPixelSize(qRound(12 * scale));
        painter.setFont(font);
        painter.setPen(QColor(200, 200, 200));
        for (int line = 0; line < 30; ++line)
            painter.drawText(
                QPointF(margin * scale, (100 + line * 22) * scale),
                QStringLiteral("背面的文字透过纸张隐约可见，合同条款第%1条").arg(line));
        painter.restore();
    }
    if (marks & PunchHoles) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(90, 90, 90));
        for (const double y : {a4Height / 2 - 115, a4Height / 2 + 115})
            painter.drawEllipse(QPointF(34 * scale, y * scale), 8.5 * scale, 8.5 * scale);
    }
    if (marks & Photograph) {
        // Hills under a sky, with foliage: smooth shades and fine texture.
        const QRectF frame(margin * scale, 480 * scale, 288 * scale, 180 * scale);
        QLinearGradient sky(frame.topLeft(), frame.bottomLeft());
        sky.setColorAt(0, QColor(70, 110, 170));
        sky.setColorAt(0.5, QColor(150, 170, 190));
        sky.setColorAt(1, QColor(60, 90, 40));
        painter.fillRect(frame, sky);
        quint32 state = 777;
        const auto next = [&state](quint32 range) {
            state = state * 1664525u + 1013904223u;
            return double((state >> 8) % range);
        };
        painter.save();
        painter.setClipRect(frame);
        painter.setPen(Qt::NoPen);
        for (int leaf = 0; leaf < 900; ++leaf) {
            const QPointF at(frame.left() + next(quint32(frame.width())),
                             frame.top() + frame.height() * 0.45 +
                                 next(quint32(frame.height() * 0.55)));
            painter.setBrush(
                QColor(30 + int(next(90)), 70 + int(next(80)), 20 + int(next(40)), 160));
            painter.drawEllipse(at, 2 + next(5) * scale / 4, 2 + next(4) * scale / 4);
        }
        painter.restore();
    }
    if (marks & PageNumber) {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(qRound(10 * scale));
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, (a4Height - 40) * scale, a4Width * scale, 14 * scale),
                         Qt::AlignCenter, QStringLiteral("- 12 -"));
    }
}

// Dim paper, its grain and a little dust, the same on every run.
void addGreyNoise(QImage& grey)
{
    quint32 state = 12345;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (int y = 0; y < grey.height(); ++y) {
        uchar* row = grey.scanLine(y);
        for (int x = 0; x < grey.width(); ++x)
            row[x] = uchar(std::clamp(int(row[x]) * 232 / 255 + int(next() % 25) - 12, 0, 255));
    }
    for (int speck = 0; speck < 40; ++speck) {
        const int x = int(next() % quint32(grey.width() - 1));
        const int y = int(next() % quint32(grey.height() - 1));
        grey.scanLine(y)[x] = 40;
    }
}

QImage drawScan(const DrawnPage& page, int dpi)
{
    const double scale = dpi / 72.0;
    QImage image(qRound(a4Width * scale), qRound(a4Height * scale), QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        if (page.skewDegrees != 0) {
            painter.translate(image.width() / 2.0, image.height() / 2.0);
            painter.rotate(page.skewDegrees);
            painter.translate(-image.width() / 2.0, -image.height() / 2.0);
        }
        drawSheetMarks(painter, page.sheetMarks, scale);
        drawLines(painter, page, scale);
        if (page.seal)
            drawSeal(painter, page, scale);
    }
    if (page.seal)
        return image;
    QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    if (page.sheetMarks & GreyNoise)
        addGreyNoise(grey);
    return grey;
}

void writeDrawnPdf(const QString& path, const QList<DrawnPage>& pages, int dpi)
{
    QPdfWriter writer(path);
    writer.setPageSize(QPageSize(QSizeF(a4Width, a4Height), QPageSize::Point));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setResolution(dpi);
    QPainter painter(&writer);
    const double scale = dpi / 72.0;
    for (qsizetype i = 0; i < pages.size(); ++i) {
        if (i > 0)
            writer.newPage();
        const DrawnPage& page = pages.at(i);
        if (page.scanned) {
            painter.drawImage(QRectF(0, 0, a4Width * scale, a4Height * scale), drawScan(page, dpi));
        } else {
            drawLines(painter, page, scale);
        }
    }
}

namespace {

// Makes `stream` an image XObject of this size and depth.
void describeImage(QPDFObjectHandle stream, int width, int height, int bits)
{
    QPDFObjectHandle dict = stream.getDict();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
    dict.replaceKey("/Width", QPDFObjectHandle::newInteger(width));
    dict.replaceKey("/Height", QPDFObjectHandle::newInteger(height));
    dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(bits));
}

// The picture's alpha as a soft mask, or as a stencil that paints where it
// is at least one half.
QPDFObjectHandle alphaMask(QPDF& pdf, const QImage& picture, bool stencil)
{
    const QImage alpha = picture.convertToFormat(QImage::Format_Alpha8);
    QByteArray samples;
    for (int y = 0; y < alpha.height(); ++y) {
        const uchar* row = alpha.constScanLine(y);
        if (!stencil) {
            samples.append(reinterpret_cast<const char*>(row), alpha.width());
            continue;
        }
        for (int x = 0; x < alpha.width(); x += 8) {
            uchar bits = 0;
            for (int b = 0; b < 8; ++b)
                bits = uchar(bits << 1 | (x + b < alpha.width() && row[x + b] < 128 ? 1 : 0));
            samples.append(char(bits));
        }
    }
    QPDFObjectHandle mask = QPDFObjectHandle::newStream(&pdf);
    mask.replaceStreamData(zlibCompressed(samples).toStdString(),
                           QPDFObjectHandle::newName("/FlateDecode"), QPDFObjectHandle::newNull());
    describeImage(mask, alpha.width(), alpha.height(), stencil ? 1 : 8);
    QPDFObjectHandle dict = mask.getDict();
    if (stencil)
        dict.replaceKey("/ImageMask", QPDFObjectHandle::newBool(true));
    else
        dict.replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceGray"));
    return mask;
}

} // namespace

void writeScanPdf(const QString& path, const QImage& picture, int dpi,
                  const ScanPlacement& placement)
{
    // A colour picture stays colour as a JPEG; everything else is grey.
    const bool colour = !picture.isGrayscale() && placement.encoding == ScanEncoding::Jpeg;
    const QImage grey = colour ? picture.convertToFormat(QImage::Format_RGB888)
                               : picture.convertToFormat(QImage::Format_Grayscale8);
    const double viewerWidth = grey.width() * 72.0 / dpi;
    const double viewerHeight = grey.height() * 72.0 / dpi;
    const bool sideways = placement.rotate == 90 || placement.rotate == 270;
    const double w = sideways ? viewerHeight : viewerWidth; // the crop box in user space
    const double h = sideways ? viewerWidth : viewerHeight;
    // A point of the upright picture (points, y down) in user space, relative
    // to the crop box: the inverse of the turn a viewer applies.
    const auto user = [&](double x, double y) -> QPointF {
        switch (placement.rotate) {
        case 90:
            return {y, x};
        case 180:
            return {w - x, y};
        case 270:
            return {w - y, h - x};
        default:
            return {x, h - y};
        }
    };
    const QPointF origin = placement.cropOffset;
    const QPointF topLeft = user(0, 0);
    const QPointF topRight = user(viewerWidth, 0);
    const QPointF bottomLeft = user(0, viewerHeight);
    const QPointF across = topRight - topLeft;
    const QPointF up = topLeft - bottomLeft;
    const QPointF corner = bottomLeft + origin;

    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle image = QPDFObjectHandle::newStream(&pdf);
    QByteArray samples;
    if (placement.encoding == ScanEncoding::CmykJpeg) {
        image.replaceStreamData(libjpegOf(picture, true).toStdString(),
                                QPDFObjectHandle::newName("/DCTDecode"),
                                QPDFObjectHandle::newNull());
    } else if (placement.encoding == ScanEncoding::UntransformedJpeg) {
        image.replaceStreamData(libjpegOf(picture, false).toStdString(),
                                QPDFObjectHandle::parse("[/DCTDecode]"),
                                QPDFObjectHandle::parse("[<< /ColorTransform 0 >>]"));
    } else if (placement.encoding == ScanEncoding::PlainFlate) {
        const QImage plain = picture.format() == QImage::Format_Grayscale8
                                 ? picture
                                 : picture.convertToFormat(QImage::Format_RGB888);
        for (int y = 0; y < plain.height(); ++y)
            samples.append(reinterpret_cast<const char*>(plain.constScanLine(y)),
                           plain.width() * (plain.depth() == 8 ? 1 : 3));
        image.replaceStreamData(zlibCompressed(samples).toStdString(),
                                QPDFObjectHandle::newName("/FlateDecode"),
                                QPDFObjectHandle::newNull());
    } else if (placement.encoding == ScanEncoding::Jpeg) {
        QBuffer buffer(&samples);
        buffer.open(QIODevice::WriteOnly);
        grey.save(&buffer, "JPEG", 90);
        image.replaceStreamData(samples.toStdString(), QPDFObjectHandle::newName("/DCTDecode"),
                                QPDFObjectHandle::newNull());
    } else {
        const bool bilevel = placement.encoding == ScanEncoding::Bilevel;
        const bool inverted = placement.encoding == ScanEncoding::SoftMask ||
                              placement.encoding == ScanEncoding::InvertedDecode;
        for (int y = 0; y < grey.height(); ++y) {
            const uchar* row = grey.constScanLine(y);
            if (inverted) {
                for (int x = 0; x < grey.width(); ++x)
                    samples.append(char(255 - row[x]));
                continue;
            }
            if (!bilevel) {
                samples.append(reinterpret_cast<const char*>(row), grey.width());
                continue;
            }
            for (int x = 0; x < grey.width(); x += 8) {
                uchar bits = 0;
                for (int b = 0; b < 8; ++b)
                    bits = uchar(bits << 1 | (x + b < grey.width() && row[x + b] >= 128 ? 1 : 0));
                samples.append(char(bits));
            }
        }
        image.replaceStreamData(samples.toStdString(), QPDFObjectHandle::newNull(),
                                QPDFObjectHandle::newNull());
    }
    describeImage(image, grey.width(), grey.height(),
                  placement.encoding == ScanEncoding::Bilevel ? 1 : 8);
    QPDFObjectHandle dict = image.getDict();
    const bool rgb = colour || placement.encoding == ScanEncoding::UntransformedJpeg ||
                     (placement.encoding == ScanEncoding::PlainFlate &&
                      picture.format() != QImage::Format_Grayscale8);
    if (placement.encoding == ScanEncoding::Bilevel)
        dict.replaceKey("/ImageMask", QPDFObjectHandle::newBool(true));
    else if (placement.encoding == ScanEncoding::CmykJpeg)
        dict.replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceCMYK"));
    else
        dict.replaceKey("/ColorSpace",
                        QPDFObjectHandle::newName(rgb ? "/DeviceRGB" : "/DeviceGray"));
    if (placement.encoding == ScanEncoding::InvertedDecode)
        dict.replaceKey("/Decode", QPDFObjectHandle::parse("[1 0]"));
    if (placement.encoding == ScanEncoding::SoftMask) {
        // Black samples shown where the mask, the inverted page, is opaque.
        QPDFObjectHandle mask = QPDFObjectHandle::newStream(&pdf, samples.toStdString());
        describeImage(mask, grey.width(), grey.height(), 8);
        mask.getDict().replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceGray"));
        image.replaceStreamData(std::string(size_t(samples.size()), '\0'),
                                QPDFObjectHandle::newNull(), QPDFObjectHandle::newNull());
        dict.replaceKey("/SMask", mask);
    }

    if (placement.mask != ScanMask::None)
        dict.replaceKey(placement.mask == ScanMask::Soft ? "/SMask" : "/Mask",
                        alphaMask(pdf, picture, placement.mask == ScanMask::Stencil));

    const auto number = [](double value) {
        return QByteArray::number(value, 'f', 4);
    };
    const QByteArray content = "q 0 g " + number(across.x()) + ' ' + number(across.y()) + ' ' +
                               number(up.x()) + ' ' + number(up.y()) + ' ' + number(corner.x()) +
                               ' ' + number(corner.y()) + " cm /Scan Do Q\n";
    QPDFObjectHandle page = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /Type /Page /Resources << /XObject << >> >> >>"));
    page.getKey("/Resources").getKey("/XObject").replaceKey("/Scan", image);
    if (placement.unusedResources) {
        page.getKey("/Resources").getKey("/XObject").replaceKey("/Unused", image.copyStream());
        page.getKey("/Resources")
            .replaceKey("/Font",
                        QPDFObjectHandle::parse("<< /Unused << /Type /Font /Subtype /Type1 "
                                                "/BaseFont /Courier >> >>"));
    }
    page.replaceKey("/Contents", QPDFObjectHandle::newStream(&pdf, content.toStdString()));
    page.replaceKey("/MediaBox", QPDFObjectHandle::newArray(QPDFObjectHandle::Rectangle(
                                     0, 0, w + 2 * origin.x(), h + 2 * origin.y())));
    page.replaceKey("/CropBox", QPDFObjectHandle::newArray(QPDFObjectHandle::Rectangle(
                                    origin.x(), origin.y(), origin.x() + w, origin.y() + h)));
    if (placement.rotate != 0)
        page.replaceKey("/Rotate", QPDFObjectHandle::newInteger(placement.rotate));
    if (placement.userUnit != 0)
        page.replaceKey("/UserUnit", QPDFObjectHandle::newReal(placement.userUnit, 2));
    if (placement.link) {
        QPDFObjectHandle link =
            QPDFObjectHandle::parse("<< /Type /Annot /Subtype /Link /Border [0 0 0] "
                                    "/A << /S /URI /URI (https://example.org/) >> >>");
        link.replaceKey("/Rect", QPDFObjectHandle::newArray(QPDFObjectHandle::Rectangle(
                                     origin.x(), origin.y(), origin.x() + 50, origin.y() + 50)));
        page.replaceKey("/Annots", QPDFObjectHandle::newArray({pdf.makeIndirectObject(link)}));
    }
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
    const QByteArray file = QFile::encodeName(path);
    QPDFWriter writer(pdf, file.constData());
    writer.write();
}

QList<QImage> renderPages(const QString& path, double dpi, const QString& password)
{
    QList<QImage> pages;
    const std::unique_ptr<Poppler::Document> document =
        Poppler::Document::load(path, password.toUtf8(), password.toUtf8());
    if (!document || document->isLocked())
        return pages;
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    for (int i = 0; i < document->numPages(); ++i)
        pages.append(document->page(i)->renderToImage(dpi, dpi));
    return pages;
}

double ssim(const QImage& first, const QImage& second)
{
    if (first.size() != second.size() || first.isNull())
        return -1;
    const QImage a = first.convertToFormat(QImage::Format_Grayscale8);
    const QImage b = second.convertToFormat(QImage::Format_Grayscale8);
    const int w = a.width();
    const int h = a.height();
    // Summed-area tables of x, y, x², y² and xy, so that every window costs the same.
    const size_t stride = size_t(w) + 1;
    std::vector<std::array<double, 5>> sums(stride * size_t(h + 1), {0, 0, 0, 0, 0});
    for (int y = 0; y < h; ++y) {
        const uchar* rowA = a.constScanLine(y);
        const uchar* rowB = b.constScanLine(y);
        for (int x = 0; x < w; ++x) {
            const double p = rowA[x];
            const double q = rowB[x];
            const std::array<double, 5> here{p, q, p * p, q * q, p * q};
            for (size_t k = 0; k < 5; ++k)
                sums[size_t(y + 1) * stride + size_t(x + 1)][k] =
                    here[k] + sums[size_t(y) * stride + size_t(x + 1)][k] +
                    sums[size_t(y + 1) * stride + size_t(x)][k] -
                    sums[size_t(y) * stride + size_t(x)][k];
        }
    }
    constexpr int window = 7;
    constexpr double c1 = (0.01 * 255) * (0.01 * 255);
    constexpr double c2 = (0.03 * 255) * (0.03 * 255);
    constexpr double n = window * window;
    double total = 0;
    long count = 0;
    for (int y = 0; y + window <= h; ++y) {
        for (int x = 0; x + window <= w; ++x) {
            std::array<double, 5> s{};
            for (size_t k = 0; k < 5; ++k)
                s[k] = sums[size_t(y + window) * stride + size_t(x + window)][k] -
                       sums[size_t(y) * stride + size_t(x + window)][k] -
                       sums[size_t(y + window) * stride + size_t(x)][k] +
                       sums[size_t(y) * stride + size_t(x)][k];
            const double meanA = s[0] / n;
            const double meanB = s[1] / n;
            // Sample (co)variances, as the reference implementation takes them.
            const double varA = (s[2] - n * meanA * meanA) / (n - 1);
            const double varB = (s[3] - n * meanB * meanB) / (n - 1);
            const double cov = (s[4] - n * meanA * meanB) / (n - 1);
            total += ((2 * meanA * meanB + c1) * (2 * cov + c2)) /
                     ((meanA * meanA + meanB * meanB + c1) * (varA + varB + c2));
            ++count;
        }
    }
    return count == 0 ? -1 : total / double(count);
}

QList<double> pageSsim(const QString& first, const QString& second, double dpi,
                       const QString& password)
{
    const QList<QImage> a = renderPages(first, dpi, password);
    const QList<QImage> b = renderPages(second, dpi, password);
    QList<double> values;
    for (qsizetype i = 0; i < std::min(a.size(), b.size()); ++i)
        values.append(ssim(a.at(i), b.at(i)));
    return values;
}

QString popplerText(const QString& path, int page)
{
    const std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    if (!document || document->isLocked())
        return QString();
    const std::unique_ptr<Poppler::Page> p = document->page(page);
    return p ? p->text(QRectF()) : QString();
}

QRectF popplerWordBox(const QString& path, int page, const QString& word)
{
    const std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    const std::unique_ptr<Poppler::Page> p = document ? document->page(page) : nullptr;
    if (!p)
        return QRectF();
    for (const std::unique_ptr<Poppler::TextBox>& box : p->textList()) {
        if (box->text() == word)
            return box->boundingBox();
    }
    return QRectF();
}

int popplerPageCount(const QString& path)
{
    const std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    return document ? document->numPages() : -1;
}

} // namespace testsupport
