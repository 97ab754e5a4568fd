// Draws the program's SVG icons into PNGs, and the brand mark into a Windows
// icon, with the build machine's Qt: no SVG module is built for Windows.
// Usage: iconrender <output folder> <brand.svg> <icon.svg>...
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QtEndian>

#include <cstdio>

namespace {

const int pngSizes[] = {16, 20, 24, 32, 40, 48, 64, 128, 256};
const int icoSizes[] = {16, 24, 32, 48, 64, 128, 256};

QImage draw(QSvgRenderer& svg, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    svg.render(&painter);
    return image;
}

QByteArray png(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

void put16(QByteArray& out, quint16 value)
{
    const quint16 little = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&little), 2);
}

void put32(QByteArray& out, quint32 value)
{
    const quint32 little = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&little), 4);
}

// An ICO file whose images are PNGs, as Windows Vista and later read them.
QByteArray ico(QSvgRenderer& svg)
{
    QList<QByteArray> images;
    for (int size : icoSizes)
        images.append(png(draw(svg, size)));
    QByteArray out;
    put16(out, 0);
    put16(out, 1); // an icon
    put16(out, quint16(images.size()));
    quint32 offset = quint32(6 + 16 * images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        const int size = icoSizes[i];
        out.append(char(size >= 256 ? 0 : size)); // 0 stands for 256
        out.append(char(size >= 256 ? 0 : size));
        out.append(char(0)); // no palette
        out.append(char(0));
        put16(out, 1);  // planes
        put16(out, 32); // bits per pixel
        put32(out, quint32(images[i].size()));
        put32(out, offset);
        offset += quint32(images[i].size());
    }
    for (const QByteArray& image : images)
        out.append(image);
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 3) {
        std::fputs("usage: iconrender <output folder> <brand.svg> <icon.svg>...\n", stderr);
        return 2;
    }
    const QString folder = arguments[1];
    for (qsizetype i = 2; i < arguments.size(); ++i) {
        QSvgRenderer svg(arguments[i]);
        if (!svg.isValid()) {
            std::fprintf(stderr, "iconrender: cannot read %s\n", qPrintable(arguments[i]));
            return 1;
        }
        const QString name = QFileInfo(arguments[i]).completeBaseName();
        for (int size : pngSizes) {
            if (!draw(svg, size).save(QStringLiteral("%1/%2-%3.png").arg(folder, name).arg(size)))
                return 1;
        }
        if (i == 2 && !writeFile(folder + QStringLiteral("/quorvin-pdf-batch.ico"), ico(svg)))
            return 1;
    }
    return 0;
}
