// The document layer: reading and admission of sources, page ranges, page
// operations, protection, optimisation, writing and publishing.
//
// Every function that refuses raises std::runtime_error whose what() is the
// user-facing UTF-8 message. Library exceptions never leave this layer with
// their own type.
#pragma once

#include "protocol/request.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QPDF;
class QPDFObjectHandle;

namespace batch {

// User-access permission bits of a PDF security handler.
enum class Permission : unsigned
{
    Modify = 8,
    CopyContent = 16,
    Assemble = 1024
};

// One PDF held in memory together with the protection it gets when written.
// Copies share the same underlying QPDF.
class PdfDocument
{
public:
    enum class Protection
    {
        Keep,
        None,
        Password,
        CopyOfSource
    };

    PdfDocument() = default;
    explicit PdfDocument(std::shared_ptr<QPDF> pdf);

    QPDF& pdf() const { return *m_pdf; }
    bool isNull() const { return !m_pdf; }
    int pageCount() const;
    bool isEncrypted() const;
    // Unencrypted documents and documents opened with their owner password
    // allow everything; otherwise the permission bits decide.
    bool allows(Permission permission) const;
    // An interactive form with at least one field.
    bool hasFormFields() const;
    // An interactive form that carries an XFA description.
    bool hasXfaForm() const;
    std::string pdfVersion() const;

    // Pages copied from other documents read their data from them until written.
    void keepAlive(const PdfDocument& other);

    Protection protection() const { return m_protection; }
    void protectWithPassword(const std::string& password); // AES-256, all permissions
    void removeProtection();
    // Same protection, passwords and file identifier as `source`.
    void copyProtectionFrom(const PdfDocument& source);
    const std::string& newPassword() const { return m_password; }
    const PdfDocument* protectionSource() const { return m_protectionSource.get(); }

    // The written file declares at least each of these versions.
    void setMinimumVersion(const std::string& version) { m_minimumVersions.push_back(version); }
    const std::vector<std::string>& minimumVersions() const { return m_minimumVersions; }

    void setOptimizedWrite(bool optimized) { m_optimized = optimized; }
    bool optimizedWrite() const { return m_optimized; }
    // QPDF met damage while reading or rewriting and repaired what it could.
    bool repaired() const;
    // Stream data already re-encoded at maximum compression: the optimised
    // write must not recompress it again.
    void setStreamsRecompressed(bool recompressed) { m_recompressed = recompressed; }
    bool streamsRecompressed() const { return m_recompressed; }

private:
    std::shared_ptr<QPDF> m_pdf;
    std::vector<std::shared_ptr<QPDF>> m_keepAlive;
    Protection m_protection = Protection::Keep;
    std::string m_password;
    std::shared_ptr<PdfDocument> m_protectionSource;
    std::vector<std::string> m_minimumVersions;
    bool m_optimized = false;
    bool m_recompressed = false;
};

// Admission gate for every source: suffix, size, one try of `password` (the
// owner's or the open password), page count and signatures. What the open
// password allows is asked by the checks below, operation by operation.
PdfDocument read(const QString& path, const QString& password);
// Opens a file this program wrote itself (no admission rules, empty password).
// On failure raises `messagePrefix` followed by the library's text. `repair`
// lets the library recover damaged structure instead of refusing.
PdfDocument openOwnFile(const QString& path, const QString& messagePrefix, bool repair = false);

bool signedDocument(const PdfDocument& document);

void checkMergeRights(const PdfDocument& source);
void checkExtractRights(const PdfDocument& source);
void checkRotateRights(const PdfDocument& source);
void checkModifyRights(const PdfDocument& source);
// Copying content out of the document's protection, as a Word file does.
void checkCopyRights(const PdfDocument& source);
// Changing the protection itself needs the owner password; `action` names it.
void checkOwnerRights(const PdfDocument& source, const QString& action);

// Strictly ascending 0-based indices, or an empty list and one message in `error`.
QList<int> parsePageRanges(const QString& text, int pageCount, QString& error);

// One page of an assembly: the page at `index` of `document`.
struct PageRef
{
    const PdfDocument* document;
    int index;
};
// A new unprotected document of the given pages in order; a page may appear twice.
PdfDocument assemblePages(const std::vector<PageRef>& pages);

// The sources' pages in order, each source's bookmarks under one titled after
// the matching entry of `titles`.
PdfDocument mergeDocuments(const std::vector<PdfDocument>& sources, const QStringList& titles);
PdfDocument extractPages(const PdfDocument& source, const QList<int>& pages);
// Where a split ends its parts ("splitMode" and the members it reads).
struct SplitPlan
{
    QString mode = QStringLiteral("pages"); // pages, bookmarks, size, blank
    int group = 1;                          // pages: pages per part
    QList<int> after;                       // pages: the parts end after these (0-based, ascending)
    int level = 1;                          // bookmarks: the outline level that starts parts
    qint64 maxBytes = 0;                    // size: most bytes of a written part
    QList<int> blank;                       // blank: the separator pages (0-based, ascending)
    bool keepSeparators = false;            // blank: separators stay, each ending its part
};
struct SplitOutcome
{
    int files = 0;
    QList<int> oversized; // size: single pages written alone above the size
};
// Writes the parts into `folder` (created here): "<base>-拆分-001.pdf" (more
// digits past 999 parts), or by bookmarks "01-<title>.pdf" after a
// "00-封面.pdf" of any pages before the first. Never an empty part. Refuses a
// group outside 1 to 100000, an unknown mode, a level outside 1 to 64, and a
// document without bookmarks at the level asked for.
SplitOutcome splitDocument(const PdfDocument& source, const SplitPlan& plan, const QString& folder,
                           const QString& base);
// A bookmark title made a file name every system takes: none of /\:*?"<>|
// or control characters, no trailing dot or space, at most `limit` UTF-8
// bytes cut between characters; "" stays "".
QString safeFileName(const QString& title, qsizetype limit = 120);
// Adds a clockwise turn of 90, 180 or 270 `degrees` to each page; refuses others.
void rotatePages(PdfDocument& document, const QList<int>& pages, int degrees);

// AES-256 with `newPassword` as the open password; refuses an empty one or one
// longer than 127 UTF-8 bytes.
void encryptDocument(PdfDocument& document, const QString& newPassword);
void decryptDocument(PdfDocument& document);
void optimizeDocument(PdfDocument& document);

// One step of lossy image compression: images above `dpi` at their largest
// placement are scaled down to it, photographs written as JPEG of `quality`.
// A `layered` step first separates scan pages into a mask of their ink and
// a low-resolution picture of their paper.
struct CompressionStep
{
    int dpi;
    int quality;
    bool layered = false;
};
// Best first; the last is the floor below which text stops being readable.
const std::array<CompressionStep, 9>& compressionSteps();
// The first step of "high", "standard", "small" or "archive"; -1 for any other name.
int compressionLevelStep(const QString& level);
// Compresses the document's raster images at `step`; nothing else changes.
// Returns the pages whose scans were layered.
int compressImages(PdfDocument& document, const CompressionStep& step);

struct CompressionOutcome
{
    qint64 bytes = 0;      // of the file written to `staged`
    bool fits = false;     // within the target size, or there was none
    bool repaired = false; // QPDF repaired damage in the document it wrote
    int layeredPages = 0;  // scan pages written as layers
};
// Writes to `staged` the document `open` reads, compressed at `level` then
// optimised without loss. With a target size: optimised without loss only when
// the source (`sourceBytes`) or that rewrite already fits; else the best step
// from the level down that fits, by measured size; else the smallest result
// there is. `open` gives a fresh copy for every attempt.
CompressionOutcome compressToFit(const std::function<PdfDocument()>& open, const QString& level,
                                 qint64 targetSize, qint64 sourceBytes, const QString& staged);

// On failure raises `failurePrefix` followed by the library's text.
// Rewrites, in place, the decoded data of the streams that `select` picks from
// the file at `path` (a file this program wrote). `transform` returns the new
// data and sets its flag when it changed anything; the file is written again
// only then. False with the library's text in `error` on failure.
using StreamSelector = std::function<std::vector<QPDFObjectHandle>(QPDF&)>;
using StreamTransform = std::function<QByteArray(const QByteArray&, bool&)>;
bool rewriteStreams(const QString& path, const StreamSelector& select,
                    const StreamTransform& transform, QString* error);

void writeDocument(const QString& path, const PdfDocument& document,
                   const QString& failurePrefix = QStringLiteral("输出失败："));
// Like writeDocument, but `path` appears only once the file is complete; any
// earlier file there is replaced in one step, and no partial file is left.
void writeDocumentSafely(const QString& path, const PdfDocument& document);

// Narrows or withdraws the document's PDF/A claim (its XMP metadata) where it
// no longer holds: a version above the part's, or, with `untaggedContentAdded`,
// level A. What was done, for the note; empty when the claim holds or none is made.
QString settlePdfaClaim(PdfDocument& document, bool untaggedContentAdded);
// The part of the PDF/A claim in the document's metadata; 0 for none.
int pdfaPart(const PdfDocument& document);
// How many names publishResult tries: `name`, then `name` (1) … (9999).
inline constexpr int maxNameCandidates = 10000;
// Moves `staged` into `folder` as `name` + `suffix` (".pdf", ".docx"; "" for
// a folder), or the first free of `name` (1) + `suffix` …; "" when every
// candidate is taken. Any other failure ends the job with the system's reason.
QString publishResult(const QString& staged, const QString& folder, const QString& name,
                      const QString& suffix);

} // namespace batch
