// Shared QPDF plumbing of the document layer; not part of its public header.
#pragma once

#include <qpdf/QPDFLogger.hh>

#include <memory>

class QPDF;

namespace batch {

// Library chatter never reaches the worker's standard streams.
std::shared_ptr<QPDFLogger> silentLogger();

// An empty QPDF configured the way this program reads and builds documents.
std::shared_ptr<QPDF> newQpdf();

// Re-encodes every stream that QPDF's writer can decode losslessly with Flate at
// level 9, as the writer's own recompression would, but on every core. Streams
// it cannot decode are left as they are. Returns false, having changed nothing,
// when the candidates are too large to hold their results in memory; the
// writer must then recompress them itself.
bool recompressStreams(QPDF& pdf);

} // namespace batch
