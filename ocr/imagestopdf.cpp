// "images2pdf": pictures become pages without loss. JPEG data goes in as it
// is, PNG data with its predictors where PDF reads it directly, bilevel TIFF
// pages as CCITT G4; anything else is decoded and stored losslessly. The
// picture's orientation tag turns the page's matrix, never the pixels.
#include "engine/images/codecs.h"
#include "engine/pdfdocument.h"
#include "engine/qpdfsupport.h"
#include "ocr/pagetools.h"
#include "ocr/tifffile.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QtEndian>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>
#include <tiffio.h>

#include "engine/images/jpegtrap.h"

#include <array>
#include <cmath>
#include <optional>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr double a4Width = 595.276;
constexpr double a4Height = 841.89;
constexpr double a4Margin = 28.35; // 10 mm

// One picture on its way to a page.
struct Picture
{
    QPDFObjectHandle image; // the image XObject
    int width = 0;
    int height = 0;
    double dpi = 0;      // 0 when the file says none
    int orientation = 1; // EXIF/TIFF 1 to 8
};

quint16 read16(const uchar* p, bool little)
{
    return little ? qFromLittleEndian<quint16>(p) : qFromBigEndian<quint16>(p);
}
quint32 read32(const uchar* p, bool little)
{
    return little ? qFromLittleEndian<quint32>(p) : qFromBigEndian<quint32>(p);
}

// The orientation tag of an Exif block ("Exif\0\0" and a TIFF structure).
int exifOrientation(const QByteArray& exif)
{
    if (exif.size() < 14 || !exif.startsWith(QByteArray("Exif\0\0", 6)))
        return 1;
    const auto* tiff = reinterpret_cast<const uchar*>(exif.constData() + 6);
    const qsizetype size = exif.size() - 6;
    const bool little = tiff[0] == 'I';
    const quint32 ifd = read32(tiff + 4, little);
    if (ifd + 2 > quint64(size))
        return 1;
    const int entries = read16(tiff + ifd, little);
    for (int i = 0; i < entries; ++i) {
        const quint64 at = ifd + 2 + quint64(i) * 12;
        if (at + 12 > quint64(size))
            break;
        if (read16(tiff + at, little) == 0x0112) {
            const int value = read16(tiff + at + 8, little);
            return value >= 1 && value <= 8 ? value : 1;
        }
    }
    return 1;
}

QPDFObjectHandle imageStream(QPDF& pdf, const std::string& data, int width, int height, int bits,
                             QPDFObjectHandle space)
{
    QPDFObjectHandle image = QPDFObjectHandle::newStream(&pdf, data);
    QPDFObjectHandle dict = image.getDict();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
    dict.replaceKey("/Width", QPDFObjectHandle::newInteger(width));
    dict.replaceKey("/Height", QPDFObjectHandle::newInteger(height));
    dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(bits));
    if (!space.isNull())
        dict.replaceKey("/ColorSpace", space);
    return image;
}

QPDFObjectHandle deviceSpace(int components)
{
    return QPDFObjectHandle::newName(components == 1   ? "/DeviceGray"
                                     : components == 4 ? "/DeviceCMYK"
                                                       : "/DeviceRGB");
}

void setFilter(QPDFObjectHandle image, const char* filter, QPDFObjectHandle parameters = {})
{
    image.getDict().replaceKey("/Filter", QPDFObjectHandle::newName(filter));
    if (parameters.isInitialized())
        image.getDict().replaceKey("/DecodeParms", parameters);
}

// Whether libjpeg reads every scan of the data without complaint. Drawn at an
// eighth of its size, which still reads all of the coded data, at a fraction
// of the time.
bool decodesCleanly(const QByteArray& bytes)
{
    jpeg_decompress_struct info{};
    JpegTrap trap;
    info.err = trap.install();
    bool made = false;
    bool clean = false;
    if (setjmp(trap.jump) == 0) {
        jpeg_create_decompress(&info);
        made = true;
        jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                     static_cast<unsigned long>(bytes.size()));
        if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) {
            info.scale_num = 1;
            info.scale_denom = 8;
            info.dct_method = JDCT_IFAST;
            info.do_fancy_upsampling = FALSE;
            jpeg_start_decompress(&info);
            // From libjpeg's own pool: a jump out must leave nothing to destroy.
            JSAMPARRAY rows = (*info.mem->alloc_sarray)(
                reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                info.output_width * JDIMENSION(info.output_components), 1);
            while (info.output_scanline < info.output_height)
                jpeg_read_scanlines(&info, rows, 1);
            jpeg_finish_decompress(&info);
            clean = trap.warnings == 0;
        }
    }
    if (made)
        jpeg_destroy_decompress(&info);
    return clean;
}

// A JPEG's frame, density and orientation, read from its markers; its bytes
// are the image's data unchanged.
std::optional<Picture> jpegPicture(QPDF& pdf, const QByteArray& bytes)
{
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    const qsizetype size = bytes.size();
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return std::nullopt;
    Picture picture;
    int components = 0;
    bool adobe = false;
    for (qsizetype at = 2; at + 4 <= size;) {
        if (data[at] != 0xFF)
            return std::nullopt;
        const uchar marker = data[at + 1];
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        const int length = qFromBigEndian<quint16>(data + at + 2);
        if (length < 2 || at + 2 + length > size)
            return std::nullopt;
        const uchar* body = data + at + 4;
        const QByteArray segment(reinterpret_cast<const char*>(body), length - 2);
        if (marker == 0xE0 && segment.startsWith(QByteArray("JFIF\0", 5)) && length >= 16 &&
            body[7] == 1)
            picture.dpi = qFromBigEndian<quint16>(body + 8);
        else if (marker == 0xE0 && segment.startsWith(QByteArray("JFIF\0", 5)) && length >= 16 &&
                 body[7] == 2)
            picture.dpi = qFromBigEndian<quint16>(body + 8) * 2.54;
        else if (marker == 0xE1)
            picture.orientation = std::max(picture.orientation, exifOrientation(segment));
        else if (marker == 0xEE && segment.startsWith("Adobe"))
            adobe = true;
        else if ((marker >= 0xC0 && marker <= 0xCF) && marker != 0xC4 && marker != 0xC8 &&
                 marker != 0xCC) {
            if (length < 8 || body[0] != 8)
                return std::nullopt; // PDF reads 8-bit JPEGs only
            picture.height = qFromBigEndian<quint16>(body + 1);
            picture.width = qFromBigEndian<quint16>(body + 3);
            components = body[5];
            break;
        }
        at += 2 + length;
    }
    if (picture.width < 1 || picture.height < 1 ||
        (components != 1 && components != 3 && components != 4))
        return std::nullopt;
    // Data that goes in unchanged is decoded once here, so that a damaged
    // photo is named now rather than drawn grey in a viewer later.
    if (!bytes.trimmed().endsWith("\xff\xd9") || !decodesCleanly(bytes))
        return std::nullopt;
    picture.image = imageStream(pdf, bytes.toStdString(), picture.width, picture.height, 8,
                                deviceSpace(components));
    setFilter(picture.image, "/DCTDecode");
    // Adobe's CMYK JPEGs hold inverted values.
    if (components == 4 && adobe)
        picture.image.getDict().replaceKey("/Decode", QPDFObjectHandle::parse("[1 0 1 0 1 0 1 0]"));
    return picture;
}

// A PNG that PDF reads as it is: not interlaced, no transparency; its
// compressed data with the PNG predictors.
std::optional<Picture> pngPicture(QPDF& pdf, const QByteArray& bytes)
{
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    if (!bytes.startsWith("\x89PNG\r\n\x1a\n"))
        return std::nullopt;
    Picture picture;
    int bits = 0;
    int colourType = -1;
    std::string idat;
    QByteArray palette;
    for (qsizetype at = 8; at + 12 <= bytes.size();) {
        const quint32 length = qFromBigEndian<quint32>(data + at);
        const QByteArray type = bytes.mid(at + 4, 4);
        if (quint64(at) + 12 + length > quint64(bytes.size()))
            return std::nullopt;
        const uchar* body = data + at + 8;
        if (type == "IHDR" && length >= 13) {
            picture.width = int(qFromBigEndian<quint32>(body));
            picture.height = int(qFromBigEndian<quint32>(body + 4));
            bits = body[8];
            colourType = body[9];
            if (body[12] != 0)
                return std::nullopt; // interlaced
        } else if (type == "PLTE") {
            palette = bytes.mid(at + 8, length);
        } else if (type == "tRNS" || type == "eXIf") {
            return std::nullopt; // transparency, or an orientation: decoded instead
        } else if (type == "pHYs" && length >= 9 && body[8] == 1) {
            picture.dpi = qFromBigEndian<quint32>(body) * 0.0254;
        } else if (type == "IDAT") {
            idat.append(reinterpret_cast<const char*>(body), length);
        }
        at += 12 + length;
    }
    const int colours = colourType == 0 ? 1 : colourType == 2 ? 3 : colourType == 3 ? 1 : 0;
    if (colours == 0 || picture.width < 1 || picture.height < 1 || idat.empty())
        return std::nullopt;
    QPDFObjectHandle space = deviceSpace(colours);
    if (colourType == 3) {
        if (palette.isEmpty() || palette.size() % 3 != 0)
            return std::nullopt;
        space = QPDFObjectHandle::newArray({QPDFObjectHandle::newName("/Indexed"),
                                            QPDFObjectHandle::newName("/DeviceRGB"),
                                            QPDFObjectHandle::newInteger(palette.size() / 3 - 1),
                                            QPDFObjectHandle::newString(palette.toStdString())});
    }
    picture.image = imageStream(pdf, idat, picture.width, picture.height, bits, space);
    QPDFObjectHandle parameters = QPDFObjectHandle::newDictionary();
    parameters.replaceKey("/Predictor", QPDFObjectHandle::newInteger(15));
    parameters.replaceKey("/Colors", QPDFObjectHandle::newInteger(colours));
    parameters.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(bits));
    parameters.replaceKey("/Columns", QPDFObjectHandle::newInteger(picture.width));
    setFilter(picture.image, "/FlateDecode", parameters);
    return picture;
}

// Decoded samples stored losslessly: 16 bits stay 16, alpha becomes a soft mask.
std::optional<Picture> decodedPicture(QPDF& pdf, QImage image, double dpi)
{
    if (image.isNull())
        return std::nullopt;
    Picture picture;
    picture.width = image.width();
    picture.height = image.height();
    picture.dpi = dpi;
    const bool deep = image.depth() == 64 || image.format() == QImage::Format_Grayscale16;
    const bool alpha = image.hasAlphaChannel();
    const bool grey = image.isGrayscale();
    image = image.convertToFormat(deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
    const int bytes = deep ? 2 : 1;
    const int components = grey ? 1 : 3;
    std::string samples;
    std::string mask;
    samples.reserve(size_t(picture.width) * size_t(picture.height) * size_t(components * bytes));
    for (int y = 0; y < picture.height; ++y) {
        const uchar* row = image.constScanLine(y);
        for (int x = 0; x < picture.width; ++x) {
            const uchar* pixel = row + x * 4 * bytes;
            for (int c = 0; c < 4; ++c) {
                if (c == 3 ? !alpha : c >= components)
                    continue;
                std::string& target = c == 3 ? mask : samples;
                // Big-endian samples, as PDF reads 16-bit data.
                for (int b = bytes - 1; b >= 0; --b)
                    target.push_back(char(pixel[c * bytes + b]));
            }
        }
    }
    picture.image = imageStream(pdf, deflateData(samples, 6), picture.width, picture.height,
                                8 * bytes, deviceSpace(components));
    setFilter(picture.image, "/FlateDecode");
    if (alpha) {
        QPDFObjectHandle soft = imageStream(pdf, deflateData(mask, 6), picture.width,
                                            picture.height, 8 * bytes, deviceSpace(1));
        setFilter(soft, "/FlateDecode");
        picture.image.getDict().replaceKey("/SMask", pdf.makeIndirectObject(soft));
    }
    return picture;
}

double tiffDpi(TIFF* tiff)
{
    float resolution = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (!TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &resolution) || unit == RESUNIT_NONE)
        return 0;
    return unit == RESUNIT_CENTIMETER ? resolution * 2.54 : resolution;
}

// One page of a TIFF: bilevel pages as G4 (decoded and coded again, so that
// strips and fill orders need no care), the others as RGBA decoded.
std::optional<Picture> tiffPage(QPDF& pdf, TIFF* tiff)
{
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bits = 0;
    uint16_t samples = 0;
    uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
    if (width < 1 || height < 1 || width > 100000 || height > 100000 ||
        quint64(width) * height > 400'000'000)
        return std::nullopt;
    const double dpi = tiffDpi(tiff);
    if (bits == 1 && samples == 1 &&
        (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK)) {
        const tmsize_t stride = TIFFScanlineSize(tiff);
        std::string rows(size_t(stride) * height, '\0');
        for (uint32_t y = 0; y < height; ++y) {
            if (TIFFReadScanline(tiff, rows.data() + size_t(stride) * y, y, 0) < 0)
                return std::nullopt;
        }
        // G4 below codes 0 as black: white-is-zero data is inverted first.
        if (photometric == PHOTOMETRIC_MINISWHITE) {
            for (char& byte : rows)
                byte = char(~byte);
        }
        const std::optional<std::string> g4 = encodeG4(rows, int(width), int(height));
        if (!g4)
            return std::nullopt;
        Picture picture{imageStream(pdf, *g4, int(width), int(height), 1, deviceSpace(1)),
                        int(width), int(height), dpi,
                        orientation >= 1 && orientation <= 8 ? orientation : 1};
        QPDFObjectHandle parameters = QPDFObjectHandle::parse("<< /K -1 >>");
        parameters.replaceKey("/Columns", QPDFObjectHandle::newInteger(width));
        parameters.replaceKey("/Rows", QPDFObjectHandle::newInteger(height));
        setFilter(picture.image, "/CCITTFaxDecode", parameters);
        return picture;
    }
    QImage image(int(width), int(height), QImage::Format_RGBA8888);
    if (image.isNull() ||
        !TIFFReadRGBAImageOriented(tiff, width, height, reinterpret_cast<uint32_t*>(image.bits()),
                                   ORIENTATION_TOPLEFT, 0))
        return std::nullopt;
    if (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE)
        image = image.convertToFormat(samples > 1 ? QImage::Format_RGBA8888
                                                  : QImage::Format_Grayscale8);
    return decodedPicture(pdf, image, dpi); // turned upright already
}

std::vector<Picture> tiffPictures(QPDF& pdf, const QString& path)
{
    std::vector<Picture> pictures;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return pictures;
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    TIFF* tiff = openTiff(file, "rm");
    if (!tiff)
        return pictures;
    do {
        std::optional<Picture> page = tiffPage(pdf, tiff);
        if (!page) {
            pictures.clear();
            break;
        }
        pictures.push_back(*page);
    } while (TIFFReadDirectory(tiff));
    TIFFClose(tiff);
    return pictures;
}

// The pictures in one image file, pages of a TIFF each; none when it is
// damaged or of no kind this program reads.
std::vector<Picture> picturesOf(QPDF& pdf, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxSourceBytes)
        return {};
    const QByteArray bytes = file.readAll();
    if (bytes.startsWith("II*\0") || bytes.startsWith("MM\0*"))
        return tiffPictures(pdf, path);
    if (bytes.startsWith("\xff\xd8")) {
        if (std::optional<Picture> jpeg = jpegPicture(pdf, bytes))
            return {*jpeg};
        return {};
    }
    if (std::optional<Picture> png = pngPicture(pdf, bytes))
        return {*png};
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer);
    // A PNG with transparency or an orientation, a BMP: Qt turns it upright as it reads.
    reader.setAutoTransform(true);
    const QImage image = reader.read();
    if (image.isNull())
        return {};
    const double dpi = image.dotsPerMeterX() > 0 ? image.dotsPerMeterX() * 0.0254 : 0;
    if (std::optional<Picture> decoded = decodedPicture(pdf, image, dpi))
        return {*decoded};
    return {};
}

// Where a point of the picture as stored lands when the orientation tag is
// applied: (x, y) from the top left, in pixels, within `displayed`.
QPointF oriented(int orientation, double x, double y, int width, int height)
{
    switch (orientation) {
    case 2:
        return {width - x, y};
    case 3:
        return {width - x, height - y};
    case 4:
        return {x, height - y};
    case 5:
        return {y, x};
    case 6:
        return {height - y, x};
    case 7:
        return {height - y, width - x};
    case 8:
        return {y, width - x};
    default:
        return {x, y};
    }
}

void addPage(QPDF& pdf, const Picture& picture, bool fitA4)
{
    const bool turned = picture.orientation >= 5;
    const int shownWidth = turned ? picture.height : picture.width;
    const int shownHeight = turned ? picture.width : picture.height;
    const double dpi = picture.dpi >= 10 && picture.dpi <= 2400 ? picture.dpi : 72;
    double width = shownWidth * 72.0 / dpi;
    double height = shownHeight * 72.0 / dpi;
    double left = 0;
    double bottom = 0;
    double pageWidth = width;
    double pageHeight = height;
    if (fitA4) {
        const bool landscape = shownWidth > shownHeight;
        pageWidth = landscape ? a4Height : a4Width;
        pageHeight = landscape ? a4Width : a4Height;
        const double scale =
            std::min((pageWidth - 2 * a4Margin) / width, (pageHeight - 2 * a4Margin) / height);
        width *= scale;
        height *= scale;
        left = (pageWidth - width) / 2;
        bottom = (pageHeight - height) / 2;
    }
    // The unit square's corners, as the image fills it, through the tag.
    const auto place = [&](double u, double v) {
        const QPointF shown = oriented(picture.orientation, u * picture.width,
                                       (1 - v) * picture.height, picture.width, picture.height);
        return QPointF(left + shown.x() * width / shownWidth,
                       bottom + height - shown.y() * height / shownHeight);
    };
    const QPointF origin = place(0, 0);
    const QPointF across = place(1, 0) - origin;
    const QPointF up = place(0, 1) - origin;
    const std::array<double, 6> matrix{across.x(), across.y(), up.x(),
                                       up.y(),     origin.x(), origin.y()};
    std::string content = "q";
    for (const double value : matrix)
        content += " " + QString::number(value, 'f', 4).toStdString();
    content += " cm /Im0 Do Q\n";
    QPDFObjectHandle page = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /Type /Page /Resources << /XObject << >> >> >>"));
    page.replaceKey("/MediaBox",
                    QPDFObjectHandle::newArray({QPDFObjectHandle::newInteger(0),
                                                QPDFObjectHandle::newInteger(0),
                                                QPDFObjectHandle::newReal(pageWidth, 3),
                                                QPDFObjectHandle::newReal(pageHeight, 3)}));
    page.getKey("/Resources")
        .getKey("/XObject")
        .replaceKey("/Im0", pdf.makeIndirectObject(picture.image));
    page.replaceKey("/Contents", QPDFObjectHandle::newStream(&pdf, content));
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
}

} // namespace

ImagesDocument imagesToPdf(const QStringList& paths, bool fitA4, const ProgressCallback& progress)
{
    ImagesDocument result;
    std::shared_ptr<QPDF> pdf = newQpdf();
    pdf->emptyPDF();
    int pages = 0;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (progress)
            progress(int(i), int(paths.size()),
                     u"正在转换第 %1/%2 张图片"_s.arg(i + 1).arg(paths.size()));
        const std::vector<Picture> pictures = picturesOf(*pdf, paths.at(i));
        if (pictures.empty()) {
            result.refused << QFileInfo(paths.at(i)).fileName();
            continue;
        }
        for (const Picture& picture : pictures) {
            if (++pages > maxPages)
                fail(u"处理总页数不能超过 100000 页。"_s);
            addPage(*pdf, picture, fitA4);
        }
    }
    if (pages == 0)
        fail(paths.size() == 1
                 ? u"“%1”不是可读取的图片（JPEG、PNG、TIFF 或 BMP），或已损坏。"_s.arg(
                       result.refused.value(0))
                 : u"没有可读取的图片：%1。"_s.arg(result.refused.join(u"、"_s)));
    result.document = PdfDocument(pdf);
    result.document.setMinimumVersion("1.5"); // 16-bit samples
    return result;
}

} // namespace batch
