#include "ocr/pagepicture.h"

#include <QPainter>
#include <QTransform>

#include <qpdf/Buffer.hh>

#include <cmath>
#include <cstring>
#include <exception>

namespace batch {

namespace {

// Decoded pictures beyond this many bytes are left to the renderer, which
// reduces them as it reads: a 100-megapixel grey scan is decoded, a colour one
// of that size is not (its samples alone would be 300 MB, twice a lane's share).
constexpr qint64 maxDecodedBytes = 128 * 1024 * 1024;

// Colour components of an image's colour space, or 0 for one we do not read.
int components(QPDFObjectHandle space)
{
    if (space.isName()) {
        const std::string name = space.getName();
        if (name == "/DeviceGray" || name == "/CalGray")
            return 1;
        if (name == "/DeviceRGB" || name == "/CalRGB")
            return 3;
        return 0;
    }
    if (space.isArray() && space.getArrayNItems() >= 2) {
        QPDFObjectHandle family = space.getArrayItem(0);
        if (family.isNameAndEquals("/CalGray"))
            return 1;
        if (family.isNameAndEquals("/CalRGB"))
            return 3;
        if (family.isNameAndEquals("/ICCBased") && space.getArrayItem(1).isStream()) {
            QPDFObjectHandle n = space.getArrayItem(1).getDict().getKey("/N");
            return n.isInteger() && (n.getIntValue() == 1 || n.getIntValue() == 3)
                       ? int(n.getIntValue())
                       : 0;
        }
    }
    return 0;
}

std::vector<std::string> filterNames(QPDFObjectHandle filter)
{
    std::vector<std::string> names;
    if (filter.isName())
        names.push_back(filter.getName());
    else if (filter.isArray()) {
        for (QPDFObjectHandle& item : filter.aitems())
            names.push_back(item.isName() ? item.getName() : std::string());
    }
    return names;
}

bool isNumbers(QPDFObjectHandle array, std::initializer_list<double> values)
{
    if (!array.isArray() || array.getArrayNItems() != int(values.size()))
        return false;
    int i = 0;
    for (const double value : values) {
        QPDFObjectHandle item = array.getArrayItem(i++);
        if (!item.isNumber() || item.getNumericValue() != value)
            return false;
    }
    return true;
}

// The image's samples as 8-bit grey or 24-bit RGB, or null.
QImage decodeSamples(QPDFObjectHandle image)
{
    QPDFObjectHandle dict = image.getDict();
    const int width = dict.getKey("/Width").getIntValueAsInt();
    const int height = dict.getKey("/Height").getIntValueAsInt();
    if (width < 1 || height < 1)
        return {};
    // A picture shown through a mask of its own shows otherwise than its samples.
    QPDFObjectHandle maskedInData = dict.getKey("/SMaskInData");
    if (!dict.getKey("/SMask").isNull() || !dict.getKey("/Mask").isNull() ||
        (maskedInData.isNumber() && maskedInData.getNumericValue() != 0))
        return {};
    const bool mask =
        dict.getKey("/ImageMask").isBool() && dict.getKey("/ImageMask").getBoolValue();
    const int channels = mask ? 1 : components(dict.getKey("/ColorSpace"));
    QPDFObjectHandle bitsItem = dict.getKey("/BitsPerComponent");
    const int bits = mask ? 1 : (bitsItem.isInteger() ? bitsItem.getIntValueAsInt() : 0);
    if (channels == 0 || (bits != 8 && !(bits == 1 && channels == 1)))
        return {};
    if (qint64(width) * height * channels > maxDecodedBytes)
        return {};
    // A mask paints where its samples are 0 (ink on white) and a 1-bit grey
    // image is black there, unless /Decode says the opposite.
    QPDFObjectHandle decode = dict.getKey("/Decode");
    bool inverted = false;
    if (!decode.isNull()) {
        if (bits == 1 && isNumbers(decode, {1, 0}))
            inverted = true;
        else if (!(bits == 1 && isNumbers(decode, {0, 1})) &&
                 !(channels == 1 && isNumbers(decode, {0, 1})) &&
                 !(channels == 3 && isNumbers(decode, {0, 1, 0, 1, 0, 1})))
            return {};
    }

    const std::vector<std::string> filters = filterNames(dict.getKey("/Filter"));
    QImage decoded;
    if (filters.size() == 1 && filters.front() == "/DCTDecode") {
        // Colour JPEGs decode as 32 bits a pixel: four thirds of the budget.
        if (channels == 3 && qint64(width) * height * 4 > maxDecodedBytes)
            return {};
        const std::shared_ptr<Buffer> raw = image.getRawStreamData();
        decoded.loadFromData(raw->getBuffer(), qsizetype(raw->getSize()), "JPEG");
        if (decoded.isNull() || decoded.width() != width || decoded.height() != height || inverted)
            return {};
        return decoded.convertToFormat(channels == 1 ? QImage::Format_Grayscale8
                                                     : QImage::Format_RGB888);
    }
    // Lossless encodings QPDF decodes itself (Flate, LZW, run length, ASCII).
    const std::shared_ptr<Buffer> data = image.getStreamData(qpdf_dl_generalized);
    const qsizetype rowBytes = (qsizetype(width) * channels * bits + 7) / 8;
    if (qsizetype(data->getSize()) < rowBytes * height)
        return {};
    decoded =
        QImage(width, height,
               bits == 1 ? QImage::Format_Mono
                         : (channels == 1 ? QImage::Format_Grayscale8 : QImage::Format_RGB888));
    if (decoded.isNull())
        return {}; // out of memory: the renderer may still manage
    if (bits == 1) {
        decoded.setColorTable({inverted ? qRgb(255, 255, 255) : qRgb(0, 0, 0),
                               inverted ? qRgb(0, 0, 0) : qRgb(255, 255, 255)});
    }
    for (int y = 0; y < height; ++y)
        std::memcpy(decoded.scanLine(y), data->getBuffer() + y * rowBytes, size_t(rowBytes));
    return bits == 1 ? decoded.convertToFormat(QImage::Format_Grayscale8) : decoded;
}

// A point of default user space on the viewer-space page, y downwards.
QPointF toViewer(const QPointF& user, const PageGeometry& geometry)
{
    const QRectF& box = geometry.cropBox;
    const double u = user.x() - box.left();
    const double v = user.y() - box.top(); // the lower edge: y grows upwards here
    const double w = box.width();
    const double h = box.height();
    switch (geometry.rotate) {
    case 90:
        return {v, u};
    case 180:
        return {w - u, v};
    case 270:
        return {h - v, w - u};
    default:
        return {u, h - v};
    }
}

// -1, 0 or 1 when `value` is that within rounding, else 2.
int unitSign(double value)
{
    if (std::abs(value) < 1e-6)
        return 0;
    return std::abs(std::abs(value) - 1) < 1e-6 ? (value > 0 ? 1 : -1) : 2;
}

} // namespace

PagePicture decodePagePicture(const CoveringPicture& picture, const PageGeometry& geometry)
{
    PagePicture result;
    if (picture.rendered)
        return result;
    QImage samples;
    try {
        samples = decodeSamples(picture.image);
    } catch (const std::exception&) {
        return result; // the renderer reports what it makes of the picture
    }
    if (samples.isNull())
        return result;

    // The picture's first row is the top edge of the unit square.
    const auto& m = picture.ctm;
    const auto corner = [&](double i, double j) {
        return toViewer(QPointF(m[0] * i + m[2] * j + m[4], m[1] * i + m[3] * j + m[5]), geometry);
    };
    const QPointF topLeft = corner(0, 1);
    const QPointF across = corner(1, 1) - topLeft;
    const QPointF down = corner(0, 0) - topLeft;
    const double acrossLength = std::hypot(across.x(), across.y());
    const double downLength = std::hypot(down.x(), down.y());
    if (acrossLength <= 0 || downLength <= 0)
        return result;
    const int ax = unitSign(across.x() / acrossLength);
    const int ay = unitSign(across.y() / acrossLength);
    const int dx = unitSign(down.x() / downLength);
    const int dy = unitSign(down.y() / downLength);
    if (ax == 2 || ay == 2 || dx == 2 || dy == 2 || ax * dx + ay * dy != 0)
        return result;
    if (ax != 1 || dy != 1) {
        // Quarter turns and mirrors only move pixels.
        samples = samples.transformed(QTransform(ax, ay, dx, dy, 0, 0));
    }
    result.pixels = samples;
    result.placement =
        spannedRect({topLeft, topLeft + across, topLeft + down, topLeft + across + down});
    return result;
}

QImage pictureAt(const PagePicture& picture, const QSizeF& points, const QSize& pixels)
{
    const double sx = pixels.width() / points.width();
    const double sy = pixels.height() / points.height();
    const QRectF target(picture.placement.left() * sx, picture.placement.top() * sy,
                        picture.placement.width() * sx, picture.placement.height() * sy);
    const QRect whole(QPoint(0, 0), pixels);
    const QRect rounded = target.toRect();
    if (std::abs(rounded.left()) <= 1 && std::abs(rounded.top()) <= 1 &&
        std::abs(rounded.right() - whole.right()) <= 1 &&
        std::abs(rounded.bottom() - whole.bottom()) <= 1)
        return picture.pixels.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage page(pixels, picture.pixels.format() == QImage::Format_Grayscale8
                            ? QImage::Format_Grayscale8
                            : QImage::Format_RGB888);
    if (page.isNull())
        return page;
    page.fill(Qt::white);
    if (rounded.isEmpty())
        return page;
    const QImage scaled =
        picture.pixels.scaled(rounded.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QPainter painter(&page);
    painter.drawImage(rounded.topLeft(), scaled);
    painter.end();
    return page;
}

} // namespace batch
