// Arbitrary bytes admitted as a PDF source; built with QPB_FUZZ_OPERATE=1, an
// admitted document is also rotated and written.
#include "engine/pdfdocument.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <stdexcept>

using namespace Qt::StringLiterals;

#ifndef QPB_FUZZ_OPERATE
#define QPB_FUZZ_OPERATE 0
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir folder;
    const QString source = folder.filePath(u"input.pdf"_s);
    {
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    try {
        batch::PdfDocument document = batch::read(source, QString());
        if (QPB_FUZZ_OPERATE) {
            QString error;
            const QList<int> pages = batch::parsePageRanges(QString(), document.pageCount(), error);
            batch::rotatePages(document, pages, 90);
            batch::writeDocument(folder.filePath(u"result.pdf"_s), document);
        }
    } catch (const std::runtime_error&) {
        // A refusal with a message is a correct answer to a bad file.
    }
    return 0;
}
