// How the document layer reads a source file; not part of its public header.
#pragma once

#include <QString>

#include <qpdf/InputSource.hh>

#include <memory>

namespace batch {

// A read-only input for QPDF over the file at `absolutePath`, named by its
// encoded path as QPDF's own file input is. Reading a PDF moves back and forth
// between objects thousands of times; this input reads at positions through a
// window of its own, so those moves cost no system calls. Throws
// std::runtime_error when the file cannot be opened or read.
std::shared_ptr<InputSource> openFileSource(const QString& absolutePath);

} // namespace batch
