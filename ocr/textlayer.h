// Repairs to the invisible text layer that Tesseract's PDF renderer writes.
#pragma once

#include <QString>

namespace batch {

// Tesseract treats every Chinese character as a word and writes a space after
// each, so a viewer's search for a phrase finds nothing. Removes the spaces
// between two CJK characters of a line, rewriting `path` in place.
bool joinCjkWords(const QString& path, QString* error);

} // namespace batch
