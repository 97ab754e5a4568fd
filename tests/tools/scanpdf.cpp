// Writes a picture as a one-page scan PDF, as the tests' generator does, so
// that the benchmarks can make colour, grey and bilevel scans of one page.
// usage: qpb-scanpdf PICTURE OUT.pdf DPI jpeg|flate|bilevel
#include "testsupport.h"

#include <QGuiApplication>
#include <QImage>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const QStringList encodings{u"jpeg"_s, u"flate"_s, u"bilevel"_s};
    if (arguments.size() != 5 || !encodings.contains(arguments.at(4))) {
        std::fputs("usage: qpb-scanpdf PICTURE OUT.pdf DPI jpeg|flate|bilevel\n", stderr);
        return 2;
    }
    const QImage picture(arguments.at(1));
    const int dpi = arguments.at(3).toInt();
    if (picture.isNull() || dpi <= 0) {
        std::fputs("qpb-scanpdf: cannot read the picture, or no DPI\n", stderr);
        return 1;
    }
    using testsupport::ScanEncoding;
    const ScanEncoding encoding = arguments.at(4) == u"jpeg"_s    ? ScanEncoding::Jpeg
                                  : arguments.at(4) == u"flate"_s ? ScanEncoding::PlainFlate
                                                                  : ScanEncoding::Bilevel;
    testsupport::writeScanPdf(arguments.at(2), picture, dpi, {.encoding = encoding});
    return 0;
}
