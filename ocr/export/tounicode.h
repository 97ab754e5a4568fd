#pragma once

#include <QString>

namespace batch {

// Points text-extraction maps of a PDF written by Qt at the characters that
// were drawn (ideographs instead of radicals, spaces instead of tabs),
// rewriting the file in place.
bool repairToUnicodeMaps(const QString& path, QString* error);

} // namespace batch
