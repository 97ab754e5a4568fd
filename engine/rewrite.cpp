#include "engine/pdfdocument.h"
#include "engine/platformfs.h"
#include "protocol/protocol.h"

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>

#include <QFile>

#include <exception>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// The streams `select` picks, through `transform`; whether any changed.
bool transformStreams(PdfDocument& document, const StreamSelector& select,
                      const StreamTransform& transform)
{
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
            stream.replaceStreamData(zlib.toStdString(), QPDFObjectHandle::newName("/FlateDecode"),
                                     QPDFObjectHandle::newNull());
            changed = true;
        }
    }
    return changed;
}

} // namespace

bool rewriteStreams(const QString& path, const StreamSelector& select,
                    const StreamTransform& transform, QString* error)
{
    const QString partial = path + u".partial"_s;
    try {
        bool changed = false;
        {
            PdfDocument document = openOwnFile(path, QString(), true);
            changed = transformStreams(document, select, transform);
            if (changed)
                writeDocument(partial, document);
        }
        // Replaced only once the document is closed: Windows replaces no file
        // that is still open.
        if (changed) {
            const QString reason = replaceEntry(partial, path);
            if (!reason.isEmpty())
                fail(u"输出失败："_s + reason);
        }
    } catch (const std::exception& failure) {
        QFile::remove(partial);
        if (error)
            *error = explained(u"无法修正文字编码表。"_s, failure);
        return false;
    }
    return true;
}

} // namespace batch
