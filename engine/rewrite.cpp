#include "engine/pdfdocument.h"
#include "protocol/protocol.h"

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>

#include <exception>

using namespace Qt::StringLiterals;

namespace batch {

bool rewriteStreams(const QString& path, const StreamSelector& select,
                    const StreamTransform& transform, QString* error)
{
    try {
        PdfDocument document = openOwnFile(path, QString(), true);
        bool changed = false;
        for (QPDFObjectHandle& stream : select(document.pdf())) {
            std::shared_ptr<Buffer> data = stream.getStreamData(qpdf_dl_generalized);
            bool streamChanged = false;
            const QByteArray rewritten =
                transform(QByteArray(reinterpret_cast<const char*>(data->getBuffer()),
                                     qsizetype(data->getSize())),
                          streamChanged);
            if (streamChanged) {
                // Written compressed: documents are saved with stream data as it is.
                const QByteArray zlib = qCompress(rewritten, 9).mid(4);
                stream.replaceStreamData(zlib.toStdString(),
                                         QPDFObjectHandle::newName("/FlateDecode"),
                                         QPDFObjectHandle::newNull());
                changed = true;
            }
        }
        if (changed)
            writeDocumentSafely(path, document);
    } catch (const std::exception& failure) {
        if (error)
            *error = explained(u"无法修正文字编码表。"_s, failure);
        return false;
    }
    return true;
}

} // namespace batch
