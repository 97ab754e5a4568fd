// Shared QPDF plumbing of the document layer; not part of its public header.
#pragma once

#include <qpdf/QPDFLogger.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

class QPDF;

namespace batch {

// Library chatter never reaches the worker's standard streams.
std::shared_ptr<QPDFLogger> silentLogger();

// An empty QPDF configured the way this program reads and builds documents.
std::shared_ptr<QPDF> newQpdf();

// The components of an image colour space; 0 for one this program does not read.
int imageComponents(QPDFObjectHandle space);
// Colour spaces whose colours are their components (Device*, CalGray, CalRGB,
// ICCBased): a palette of them, fewer bits or a JPEG of them shows the same colours.
bool plainColours(QPDFObjectHandle space);

// An image stored as one JPEG: /DCTDecode its only filter.
bool isJpeg(QPDFObjectHandle dictionary);
// The parameters of a stream's one filter, unwrapped from a one-element array
// as the filter is; null when there are none.
QPDFObjectHandle soleParameters(QPDFObjectHandle dictionary);

// Runs `task` for 0 to count - 1 on the job's lanes; the first failure is
// raised again once every task has ended.
void onLanes(size_t count, const std::function<void(size_t)>& task);

// An image of 8-bit grey or colour samples, 1 to 65536 pixels each way,
// whose colours are its components and which no /Decode maps.
bool plainEightBitImage(QPDFObjectHandle dictionary);

// The decoded 8-bit samples of an image of `components` stored as JPEG or
// with filters QPDF decodes without loss; none for any other, or damaged data.
std::optional<std::string> decodedImageSamples(QPDFObjectHandle stream, int components);

// Replaces the picture of every scan page (grey or colour, at 150 DPI or
// more) by layers: its ink as a bilevel mask, the paper at a low resolution,
// photographs at `step`'s. A page not sure to separate keeps its picture.
// Every stream written, and every form that took a picture's place, goes into
// `settled`, for later passes to leave alone. Returns the pages layered.
struct CompressionStep;
int layerScanPages(QPDF& pdf, const CompressionStep& step, std::set<QPDFObjGen>& settled);

// Whether QPDF decodes the stream's filters without loss (not the image codecs).
bool decodesLosslessly(QPDFObjectHandle stream);

// Re-encodes every stream QPDF decodes, and every plain JPEG, in the smallest
// exact form found, on the job's lanes; a stream keeps its data where nothing
// smaller was found. Every stream it looked at is then copied by the writer
// as it stands. Returns false, having changed nothing, when the candidates are
// too large to hold their results in memory; the writer must then recompress
// them itself. `usesJbig2` is set when an image became JBIG2, which a
// document must be PDF 1.4 or later to hold.
bool recompressStreams(QPDF& pdf, bool* usesJbig2 = nullptr);

// Calls `visit` with every appearance stream of the page's annotations:
// normal, rollover and down, each a stream or a dictionary of states.
void forEachAppearance(QPDFObjectHandle page, const std::function<void(QPDFObjectHandle)>& visit);

// Removes from resource dictionaries the entries no content stream names;
// leaves every resource where some content may name it unseen.
void dropUnusedResources(QPDF& pdf);

} // namespace batch
