// The window and recognition need Qt GUI, Poppler and Tesseract, some eighty
// shared libraries whose loading took half of a small document job's time. They
// live in a module that the executable loads only when it needs one of them; a
// worker for a document job starts with Qt Core and QPDF alone.
#pragma once

namespace batch {

// Both entry points take main's arguments and return its exit code. Each
// creates its own application object.
using ModuleEntry = int (*)(int argc, char** argv);

// The GUI, and --help/--version.
inline constexpr char windowEntryName[] = "qpbWindowMain";
// A worker that can run every operation, recognition included.
inline constexpr char recognitionWorkerEntryName[] = "qpbRecognitionWorkerMain";

} // namespace batch
