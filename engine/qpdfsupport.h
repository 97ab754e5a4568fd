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

} // namespace batch
