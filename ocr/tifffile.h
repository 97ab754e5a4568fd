// libtiff through a QFile, so that a name in any script reaches it on every
// system (libtiff opens names narrowly on Windows).
#pragma once

#include <tiffio.h>

class QFile;

namespace batch {

// Opens `file` (already open in the matching mode) for libtiff; "r…" or "w…"
// as TIFFOpen takes them. The file stays the caller's and must outlive the TIFF.
TIFF* openTiff(QFile& file, const char* mode);

} // namespace batch
