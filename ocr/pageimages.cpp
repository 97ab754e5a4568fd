// "pdf2images": pages drawn by Poppler and written as PNG, JPEG or one
// multi-page TIFF. A page is drawn and written in bands of rows, so that an
// A3 page at 600 DPI never sits in memory whole.
#include "engine/platformfs.h"
#include "ocr/pagetools.h"
#include "ocr/renderedcopy.h"
#include "ocr/tifffile.h"

#include <QDir>
#include <QFile>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <tiffio.h>
#include <zlib.h>

#include "engine/images/jpegtrap.h"

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr int bandRows = 256;
// Huffman tables fitted to a page keep every coefficient of it in memory;
// above this many pixels the standard tables keep memory bounded instead.
constexpr qint64 maxOptimisedJpegPixels = 10'000'000;

struct Picture
{
    int width = 0;
    int height = 0;
    int components = 3; // 1 grey, 3 RGB
    bool bilevel = false;
    int dpi = 150;
};

// Takes a page's rows, band by band, into one picture file.
class RowWriter
{
public:
    virtual ~RowWriter() = default;
    virtual bool begin(const Picture& picture) = 0;
    // `rows` rows of `stride` bytes: 8-bit samples, or 1-bit ones (0 white).
    virtual bool write(const uchar* data, int rows, qsizetype stride) = 0;
    virtual bool end() = 0;
};

// 8-bit PNG written by hand around zlib: libpng reports errors by longjmp,
// which would skip the destructors here.
class PngWriter : public RowWriter
{
public:
    explicit PngWriter(const QString& path) : m_file(path) {}
    ~PngWriter() override
    {
        if (m_started)
            deflateEnd(&m_zip);
    }

    bool begin(const Picture& picture) override
    {
        m_picture = picture;
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return false;
        static const char signature[] = "\x89PNG\r\n\x1a\n";
        QByteArray header;
        appendNumber(header, quint32(picture.width));
        appendNumber(header, quint32(picture.height));
        header.append(char(8));
        header.append(char(picture.components == 3 ? 2 : 0));
        header.append(3, '\0');
        const auto perMetre = quint32(picture.dpi / 0.0254 + 0.5);
        QByteArray physical;
        appendNumber(physical, perMetre);
        appendNumber(physical, perMetre);
        physical.append('\1');
        if (m_file.write(signature, 8) != 8 || !chunk("IHDR", header) || !chunk("pHYs", physical))
            return false;
        m_started = deflateInit(&m_zip, 6) == Z_OK;
        return m_started;
    }

    bool write(const uchar* data, int rows, qsizetype stride) override
    {
        const int step = m_picture.components;
        const qsizetype length = qsizetype(m_picture.width) * step;
        QByteArray line(length + 1, '\0');
        line[0] = 1; // "Sub": each byte as the difference to the pixel before it
        for (int y = 0; y < rows; ++y) {
            const uchar* row = data + y * stride;
            for (qsizetype x = 0; x < length; ++x)
                line[x + 1] = char(uchar(row[x] - (x >= step ? row[x - step] : 0)));
            if (!compress(line, Z_NO_FLUSH))
                return false;
        }
        return true;
    }

    bool end() override
    {
        return compress(QByteArray(), Z_FINISH) && chunk("IEND", QByteArray()) && m_file.flush();
    }

private:
    static void appendNumber(QByteArray& bytes, quint32 value)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.append(char((value >> shift) & 0xff));
    }

    bool chunk(const char* type, const QByteArray& data)
    {
        QByteArray bytes;
        appendNumber(bytes, quint32(data.size()));
        bytes.append(type, 4);
        bytes.append(data);
        const auto* body = reinterpret_cast<const Bytef*>(bytes.constData() + 4);
        appendNumber(bytes, quint32(crc32(0, body, uInt(bytes.size() - 4))));
        return m_file.write(bytes) == bytes.size();
    }

    bool compress(const QByteArray& input, int flush)
    {
        m_zip.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
        m_zip.avail_in = uInt(input.size());
        std::vector<Bytef> out(65536);
        int status = Z_OK;
        do {
            m_zip.next_out = out.data();
            m_zip.avail_out = uInt(out.size());
            status = deflate(&m_zip, flush);
            if (status == Z_STREAM_ERROR)
                return false;
            const qsizetype produced = qsizetype(out.size() - m_zip.avail_out);
            if (produced > 0 &&
                !chunk("IDAT", QByteArray(reinterpret_cast<const char*>(out.data()), produced)))
                return false;
        } while (m_zip.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
        return true;
    }

    QFile m_file;
    Picture m_picture;
    z_stream m_zip{};
    bool m_started = false;
};

// Each libjpeg call sits alone behind its own setjmp, with nothing to destroy
// between it and the jump.
class JpegWriter : public RowWriter
{
public:
    JpegWriter(const QString& path, int quality) : m_file(path), m_quality(quality) {}
    ~JpegWriter() override
    {
        if (m_made)
            jpeg_destroy_compress(&m_info);
        std::free(m_out);
    }

    bool begin(const Picture& picture) override
    {
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return false;
        m_info.err = m_trap.install();
        if (setjmp(m_trap.jump) != 0)
            return false;
        jpeg_create_compress(&m_info);
        m_made = true;
        jpeg_mem_dest(&m_info, &m_out, &m_outSize);
        m_info.image_width = JDIMENSION(picture.width);
        m_info.image_height = JDIMENSION(picture.height);
        m_info.input_components = picture.components;
        m_info.in_color_space = picture.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
        jpeg_set_defaults(&m_info);
        jpeg_set_quality(&m_info, m_quality, TRUE);
        m_info.optimize_coding =
            qint64(picture.width) * picture.height <= maxOptimisedJpegPixels ? TRUE : FALSE;
        m_info.density_unit = 1; // dots per inch
        m_info.X_density = UINT16(picture.dpi);
        m_info.Y_density = UINT16(picture.dpi);
        jpeg_start_compress(&m_info, TRUE);
        return true;
    }

    bool write(const uchar* data, int rows, qsizetype stride) override
    {
        if (setjmp(m_trap.jump) != 0)
            return false;
        for (int y = 0; y < rows; ++y) {
            JSAMPROW row = const_cast<JSAMPROW>(data + y * stride);
            jpeg_write_scanlines(&m_info, &row, 1);
        }
        return true;
    }

    bool end() override
    {
        if (setjmp(m_trap.jump) != 0)
            return false;
        jpeg_finish_compress(&m_info);
        const auto size = qint64(m_outSize);
        return m_file.write(reinterpret_cast<const char*>(m_out), size) == size && m_file.flush();
    }

private:
    QFile m_file;
    int m_quality;
    jpeg_compress_struct m_info{};
    JpegTrap m_trap;
    bool m_made = false;
    unsigned char* m_out = nullptr;
    unsigned long m_outSize = 0;
};

// One TIFF for all pages, through a QFile so that any name reaches it:
// bilevel pages in CCITT G4, the others Deflate with a predictor.
class TiffWriter : public RowWriter
{
public:
    explicit TiffWriter(const QString& path) : m_file(path) {}
    ~TiffWriter() override
    {
        if (m_tiff)
            TIFFClose(m_tiff);
    }

    bool open()
    {
        if (!m_file.open(QIODevice::ReadWrite | QIODevice::NewOnly))
            return false;
        m_tiff = openTiff(m_file, "w");
        return m_tiff != nullptr;
    }

    bool begin(const Picture& picture) override
    {
        m_row = 0;
        m_picture = picture;
        TIFFSetField(m_tiff, TIFFTAG_IMAGEWIDTH, uint32_t(picture.width));
        TIFFSetField(m_tiff, TIFFTAG_IMAGELENGTH, uint32_t(picture.height));
        TIFFSetField(m_tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(picture.bilevel ? 1 : 8));
        TIFFSetField(m_tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(picture.components));
        TIFFSetField(m_tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(m_tiff, TIFFTAG_PHOTOMETRIC,
                     picture.bilevel           ? PHOTOMETRIC_MINISWHITE
                     : picture.components == 3 ? PHOTOMETRIC_RGB
                                               : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(m_tiff, TIFFTAG_COMPRESSION,
                     picture.bilevel ? COMPRESSION_CCITTFAX4 : COMPRESSION_ADOBE_DEFLATE);
        if (!picture.bilevel)
            TIFFSetField(m_tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(m_tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(picture.bilevel ? picture.height : 64));
        TIFFSetField(m_tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(m_tiff, TIFFTAG_XRESOLUTION, float(picture.dpi));
        TIFFSetField(m_tiff, TIFFTAG_YRESOLUTION, float(picture.dpi));
        TIFFSetField(m_tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        return true;
    }

    bool write(const uchar* data, int rows, qsizetype stride) override
    {
        for (int y = 0; y < rows; ++y, ++m_row) {
            if (TIFFWriteScanline(m_tiff, const_cast<uchar*>(data + y * stride), m_row, 0) < 0)
                return false;
        }
        return true;
    }

    bool end() override { return TIFFWriteDirectory(m_tiff) != 0; }

    bool finish()
    {
        TIFF* tiff = m_tiff;
        m_tiff = nullptr;
        TIFFClose(tiff);
        return m_file.error() == QFileDevice::NoError && m_file.flush();
    }

private:
    QFile m_file;
    TIFF* m_tiff = nullptr;
    Picture m_picture;
    uint32_t m_row = 0;
};

// The band's rows packed one bit a pixel, 1 for black; false when a pixel is
// neither black nor white.
bool packBilevel(const QImage& band, std::vector<uchar>& packed)
{
    const int width = band.width();
    const qsizetype stride = (width + 7) / 8;
    const int components = band.format() == QImage::Format_Grayscale8 ? 1 : 3;
    const size_t start = packed.size();
    packed.resize(start + size_t(stride) * size_t(band.height()), 0);
    for (int y = 0; y < band.height(); ++y) {
        const uchar* row = band.constScanLine(y);
        uchar* out = packed.data() + start + size_t(y) * size_t(stride);
        for (int x = 0; x < width; ++x) {
            const uchar* pixel = row + x * components;
            if ((pixel[0] != 0 && pixel[0] != 255) ||
                (components == 3 && (pixel[1] != pixel[0] || pixel[2] != pixel[0])))
                return false;
            if (pixel[0] == 0)
                out[x / 8] |= uchar(0x80 >> (x % 8));
        }
    }
    return true;
}

class PageWriter
{
public:
    PageWriter(const RenderedCopy& copy, const PageImageOptions& options)
        : m_copy(copy), m_options(options)
    {}

    // Bilevel pages are found by drawing them: kept one bit a pixel while
    // every band is black and white, drawn again in grey or colour otherwise.
    bool write(int index, RowWriter& writer, bool tryBilevel) const
    {
        const QSize pixels = bandedPixelSize(m_copy.pageSize(index), m_options.dpi);
        if (pixels.isEmpty())
            fail(u"第 %1 页在 %2 DPI 下过大，无法转为图片。"_s.arg(index + 1).arg(m_options.dpi));
        Picture picture{pixels.width(), pixels.height(), m_options.grey ? 1 : 3, false,
                        m_options.dpi};
        if (tryBilevel) {
            std::vector<uchar> packed;
            bool bilevel = true;
            for (int top = 0; bilevel && top < pixels.height(); top += bandRows)
                bilevel = packBilevel(band(index, top, pixels.height()), packed);
            if (bilevel) {
                picture.bilevel = true;
                picture.components = 1;
                return writer.begin(picture) &&
                       writer.write(packed.data(), pixels.height(), (pixels.width() + 7) / 8) &&
                       writer.end();
            }
        }
        if (!writer.begin(picture))
            return false;
        for (int top = 0; top < pixels.height(); top += bandRows) {
            const QImage rows = band(index, top, pixels.height());
            if (!writer.write(rows.constBits(), rows.height(), rows.bytesPerLine()))
                return false;
        }
        return writer.end();
    }

private:
    QImage band(int index, int top, int height) const
    {
        const int rows = std::min(bandRows, height - top);
        const QImage image = m_copy.renderBand(index, m_options.dpi, top, rows, m_options.grey);
        if (image.isNull() || image.height() != rows)
            fail(u"第 %1 页无法绘制。"_s.arg(index + 1));
        return image;
    }

    const RenderedCopy& m_copy;
    const PageImageOptions& m_options;
};

} // namespace

int writePageImages(const PdfDocument& source, const QList<int>& pages,
                    const PageImageOptions& options, const QString& target, const QString& base,
                    const ProgressCallback& progress)
{
    const RenderedCopy copy(source);
    const PageWriter pageWriter(copy, options);
    const auto tell = [&](int done) {
        if (progress)
            progress(done, int(pages.size()),
                     u"正在转换第 %1/%2 页"_s.arg(done + 1).arg(pages.size()));
    };
    if (options.format == u"tif"_s) {
        TiffWriter tiff(target);
        if (!tiff.open())
            fail(u"无法写入图片文件。"_s);
        for (qsizetype i = 0; i < pages.size(); ++i) {
            tell(int(i));
            if (!pageWriter.write(pages.at(i), tiff, true))
                fail(u"无法写入图片文件。"_s);
        }
        if (!tiff.finish())
            fail(u"无法写入图片文件。"_s);
        return 1;
    }
    if (!QDir().mkdir(target))
        fail(u"无法创建图片文件夹。"_s);
    const int width = std::max(3, int(QString::number(copy.pageCount()).size()));
    for (qsizetype i = 0; i < pages.size(); ++i) {
        tell(int(i));
        const QString path = target + u"/%1-%2.%3"_s.arg(base)
                                          .arg(pages.at(i) + 1, width, 10, QLatin1Char('0'))
                                          .arg(options.format);
        std::unique_ptr<RowWriter> writer;
        if (options.format == u"jpg"_s)
            writer = std::make_unique<JpegWriter>(path, options.quality);
        else
            writer = std::make_unique<PngWriter>(path);
        if (!pageWriter.write(pages.at(i), *writer, false))
            fail(u"无法写入图片文件。"_s);
    }
    return int(pages.size());
}

} // namespace batch
