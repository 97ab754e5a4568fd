// Results are written inside the staging folder and then moved into the output
// folder under a name that is free; nothing there is ever replaced.
#include "app/protocol.h"
#include "engine/pdfdocument.h"
#include "engine/platformfs.h"

#include <QFile>
#include <QFileInfo>

#include <qpdf/Pl_Flate.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

#include <exception>
#include <optional>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// The Flate level is process-wide in QPDF; keep maximum compression to one write.
class MaximumCompression
{
public:
    MaximumCompression() { Pl_Flate::setCompressionLevel(9); }
    ~MaximumCompression() { Pl_Flate::setCompressionLevel(-1); }
    MaximumCompression(const MaximumCompression&) = delete;
    MaximumCompression& operator=(const MaximumCompression&) = delete;
};

void applyProtection(QPDFWriter& writer, const PdfDocument& document)
{
    switch (document.protection()) {
    case PdfDocument::Protection::Keep:
        // Explicit, because QPDF stops preserving encryption once streams are
        // re-encoded, as the optimised write does.
        if (document.isEncrypted())
            writer.copyEncryptionParameters(document.pdf());
        break;
    case PdfDocument::Protection::None:
        writer.setPreserveEncryption(false);
        break;
    case PdfDocument::Protection::Password: {
        const std::string& password = document.newPassword();
        writer.setR6EncryptionParameters(password.c_str(), password.c_str(), true, true, true, true,
                                         true, true, qpdf_r3p_full, true);
        break;
    }
    case PdfDocument::Protection::CopyOfSource:
        writer.copyEncryptionParameters(document.protectionSource()->pdf());
        break;
    }
}

} // namespace

void writeDocument(const QString& path, const PdfDocument& document, const QString& failurePrefix)
{
    try {
        std::optional<MaximumCompression> compression;
        QPDFWriter writer(document.pdf(), QFile::encodeName(path).constData());
        for (const std::string& version : document.minimumVersions())
            writer.setMinimumPDFVersion(version);
        applyProtection(writer, document);
        if (document.optimizedWrite()) {
            compression.emplace();
            writer.setObjectStreamMode(qpdf_o_generate);
            writer.setCompressStreams(true);
            writer.setDecodeLevel(qpdf_dl_generalized);
            writer.setRecompressFlate(true);
        }
        writer.write();
    } catch (const std::exception& error) {
        fail(failurePrefix + QString::fromUtf8(error.what()));
    }
    if (QFileInfo(path).size() <= 0)
        fail(u"没有生成有效的 PDF。"_s);
}

void writeDocumentSafely(const QString& path, const PdfDocument& document)
{
    const QString partial = path + u".partial"_s;
    writeDocument(partial, document);
    QFile::remove(path);
    if (!QFile::rename(partial, path)) {
        QFile::remove(partial);
        fail(u"输出失败："_s + path);
    }
}

QString publishResult(const QString& staged, const QString& folder, const QString& name,
                      bool isFolder)
{
    for (int i = 0; i < 10000; ++i) {
        QString candidate = name;
        if (i > 0)
            candidate += u" (%1)"_s.arg(i);
        if (!isFolder)
            candidate += u".pdf"_s;
        const QString target = folder + u'/' + candidate;
        if (entryTaken(target))
            continue;
        if (renameNoReplace(staged, target))
            return target;
        if (!entryTaken(target))
            return QString();
    }
    return QString();
}

} // namespace batch
