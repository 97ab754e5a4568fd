// Picture files as cameras, phones and scanners write them.
#include "testsupport.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QtEndian>

#include <tiffio.h>

namespace testsupport {

QByteArray jpegFile(const QImage& image, int orientation, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.write(image);
    if (orientation == 0)
        return bytes;
    // An Exif segment of one tag, right after the start of image.
    QByteArray exif("Exif\0\0MM\0*\0\0\0\x08\0\x01", 16);
    char entry[12] = {0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01};
    qToBigEndian<quint16>(quint16(orientation), entry + 8);
    exif.append(entry, 12).append(4, '\0');
    QByteArray segment("\xff\xe1", 2);
    char length[2];
    qToBigEndian<quint16>(quint16(exif.size() + 2), length);
    segment.append(length, 2).append(exif);
    return bytes.insert(2, segment);
}

void writeG4Tiff(const QString& path, const QList<QImage>& pages, int dpi)
{
    TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    for (const QImage& page : pages) {
        const QImage mono = page.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(mono.width()));
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(mono.height()));
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(1));
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(64)); // strips, as scanners write
        TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tiff, TIFFTAG_XRESOLUTION, float(dpi));
        TIFFSetField(tiff, TIFFTAG_YRESOLUTION, float(dpi));
        TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        QByteArray row((mono.width() + 7) / 8, '\0');
        for (int y = 0; y < mono.height(); ++y) {
            // Qt's mono keeps black as colour-table index: 1 is white here.
            const uchar* bits = mono.constScanLine(y);
            const bool whiteIsOne = mono.color(1) == qRgb(255, 255, 255);
            for (qsizetype i = 0; i < row.size(); ++i)
                row[i] = char(whiteIsOne ? ~bits[i] : bits[i]);
            TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0);
        }
        TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
}

} // namespace testsupport
