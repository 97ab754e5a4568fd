// Prints each page's SSIM of two PDFs rendered in grey, for the benchmarks.
// usage: qpb-pagessim FIRST.pdf SECOND.pdf [DPI]
#include "testsupport.h"

#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 3) {
        std::fputs("usage: qpb-pagessim FIRST.pdf SECOND.pdf [DPI]\n", stderr);
        return 2;
    }
    const double dpi = arguments.size() > 3 ? arguments.at(3).toDouble() : 100;
    const QList<double> values = testsupport::pageSsim(arguments.at(1), arguments.at(2), dpi);
    if (values.isEmpty())
        return 1;
    for (const double value : values)
        std::printf("%.4f\n", value);
    return 0;
}
