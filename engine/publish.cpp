// Results are written inside the staging folder and then moved into the output
// folder under a name that is free; nothing there is ever replaced.
#include "engine/pdfdocument.h"
#include "engine/platformfs.h"
#include "protocol/protocol.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <qpdf/Pipeline.hh>
#include <qpdf/Pl_Discard.hh>
#include <qpdf/Pl_Flate.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <exception>
#include <optional>
#include <stdexcept>
#include <vector>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// QPDF's own file output does not notice a write that fails when its buffer
// is flushed at the end, so a full disk published a truncated PDF as a
// success. Every write and the final close are checked here. Nothing is
// thrown from inside the writer (it finishes pipelines in destructors): the
// first failure is kept and reported once the writer has returned.
class CheckedFileOutput : public Pipeline
{
public:
    explicit CheckedFileOutput(const QString& path) : Pipeline("checked file", nullptr)
    {
        if (!m_file.open(path))
            m_failure = m_file.failure();
        m_buffer.reserve(bufferSize);
    }

    void write(unsigned char const* data, size_t length) override
    {
        if (!m_failure.isEmpty())
            return;
        if (m_buffer.size() + length > bufferSize)
            flushBuffer();
        if (length >= bufferSize)
            writeAll(reinterpret_cast<const char*>(data), length);
        else
            m_buffer.insert(m_buffer.end(), data, data + length);
    }

    // The writer finishes its pipeline after every stream; the file ends only
    // with close(), so a finish is no reason to write.
    void finish() override {}

    void close()
    {
        flushBuffer();
        if (!m_file.close() && m_failure.isEmpty())
            m_failure = m_file.failure();
    }

    const QString& failure() const { return m_failure; }

private:
    static constexpr size_t bufferSize = 1 << 18;

    void flushBuffer()
    {
        writeAll(m_buffer.data(), m_buffer.size());
        m_buffer.clear();
    }

    void writeAll(const char* data, size_t length)
    {
        if (m_failure.isEmpty() && length > 0 && !m_file.write(data, length))
            m_failure = m_file.failure();
    }

    OutputFile m_file;
    std::vector<char> m_buffer;
    QString m_failure;
};

// The Flate level is process-wide in QPDF; keep maximum compression to one write.
class MaximumCompression
{
public:
    MaximumCompression() { Pl_Flate::setCompressionLevel(9); }
    ~MaximumCompression() { Pl_Flate::setCompressionLevel(-1); }
    MaximumCompression(const MaximumCompression&) = delete;
    MaximumCompression& operator=(const MaximumCompression&) = delete;
};

// The document whose encryption a write copies, if any.
QPDF* copiedEncryption(const PdfDocument& document)
{
    if (document.protection() == PdfDocument::Protection::Keep && document.isEncrypted())
        return &document.pdf();
    if (document.protection() == PdfDocument::Protection::CopyOfSource)
        return &document.protectionSource()->pdf();
    return nullptr;
}

// Valid files may leave out /Length of the encryption dictionary (the key
// length then follows from /V), and QPDF copies such a dictionary with a
// zero-length key: every stream of the result became unreadable. The
// default is written in before the copy; the key itself was derived when
// the source was opened and does not change.
void completeKeyLength(QPDF& source)
{
    QPDFObjectHandle encrypt = source.getTrailer().getKey("/Encrypt");
    if (!encrypt.isDictionary() || encrypt.getKey("/Length").isInteger())
        return;
    QPDFObjectHandle version = encrypt.getKey("/V");
    const long long v = version.isInteger() ? version.getIntValue() : 0;
    if (v < 2)
        return; // 40 bits, and no /Length read
    encrypt.replaceKey("/Length", QPDFObjectHandle::newInteger(v == 4 ? 128 : v >= 5 ? 256 : 40));
}

QString hex(const std::string& bytes)
{
    return QString::fromLatin1(QByteArray::fromStdString(bytes).toHex());
}

// Whether the first page's content streams decode (a document without pages
// counts as decoding).
bool firstPageDecodes(QPDF& pdf)
{
    try {
        std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(pdf).getAllPages();
        if (pages.empty())
            return true;
        for (QPDFObjectHandle& stream : pages.front().getPageContents()) {
            Pl_Discard discard;
            if (!stream.pipeStreamData(&discard, nullptr, 0, qpdf_dl_generalized, true, false))
                return false;
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// A result that copies its source's encryption is read back with the
// source's key: one whose first page no longer decodes, while the document
// written did, is never published. (A page already damaged in the source
// is not held against the result.)
void checkDecrypts(const QString& path, const QPDF& source)
{
    bool readable = false;
    try {
        QPDF result;
        result.setSuppressWarnings(true);
        result.setAttemptRecovery(false);
        result.setPasswordIsHexKey(true);
        result.processFile(libraryPath(path).constData(),
                           hex(source.getEncryptionKey()).toLatin1().constData());
        readable = firstPageDecodes(result);
    } catch (const std::exception&) {
        readable = false;
    }
    if (!readable)
        fail(u"结果无法按源文件的加密方式正确读出，未发布。原文件未改变。"_s);
}

void applyProtection(QPDFWriter& writer, const PdfDocument& document)
{
    if (QPDF* source = copiedEncryption(document))
        completeKeyLength(*source);
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
    const QPDF* copied = copiedEncryption(document);
    const bool decodedBefore = copied && firstPageDecodes(document.pdf());
    QString failure;
    try {
        std::optional<MaximumCompression> compression;
        CheckedFileOutput output(path);
        QPDFWriter writer(document.pdf());
        writer.setOutputPipeline(&output);
        for (const std::string& version : document.minimumVersions())
            writer.setMinimumPDFVersion(version);
        applyProtection(writer, document);
        if (!document.optimizedWrite()) {
            // Page operations and protection copy stream data as it is: decoding
            // and re-encoding every stream (qpdf's default) changes no page and
            // was four fifths of the work of a rotation. (QPDF would compress the
            // already encoded data once more if asked to compress streams.)
            writer.setDecodeLevel(qpdf_dl_none);
            writer.setCompressStreams(false);
        } else {
            compression.emplace();
            // PDF/A-1 is PDF 1.4, which has no object streams.
            writer.setObjectStreamMode(pdfaPart(document) == 1 ? qpdf_o_disable : qpdf_o_generate);
            writer.setCompressStreams(true);
            writer.setDecodeLevel(qpdf_dl_generalized);
            writer.setRecompressFlate(!document.streamsRecompressed());
        }
        writer.write();
        output.close();
        failure = output.failure();
    } catch (const std::exception& error) {
        // The library's own words stay for diagnosis, after ours.
        failure = u"文档内容无法写出。\n"_s + QString::fromUtf8(error.what());
    }
    if (!failure.isEmpty())
        fail(failurePrefix + failure);
    if (QFileInfo(path).size() <= 0)
        fail(u"没有生成有效的 PDF。"_s);
    if (decodedBefore)
        checkDecrypts(path, *copied);
}

void writeDocumentSafely(const QString& path, const PdfDocument& document)
{
    const QString partial = path + u".partial"_s;
    auto removePartial = qScopeGuard([&partial] { QFile::remove(partial); });
    writeDocument(partial, document);
    // One rename replaces the file: removing it first lost an in-place
    // rewrite's input whenever the rename then failed.
    const QString reason = replaceEntry(partial, path);
    if (!reason.isEmpty())
        fail(u"输出失败："_s + reason);
    removePartial.dismiss();
}

QString publishResult(const QString& staged, const QString& folder, const QString& name,
                      const QString& suffix)
{
    for (int i = 0; i < maxNameCandidates; ++i) {
        QString candidate = name;
        if (i > 0)
            candidate += u" (%1)"_s.arg(i);
        candidate += suffix;
        const QString target = folder + u'/' + candidate;
        if (!entryTaken(target) && renameNoReplace(staged, target))
            return target;
    }
    return QString();
}

} // namespace batch
