// The OCR engine's entry point in the worker: the batch recognition driver.
#pragma once

#include "engine/pdfdocument.h"
#include "protocol/ocroptions.h"
#include "protocol/protocol.h"

#include <QString>

namespace batch {

// Turns the admitted `document` into a searchable PDF, working inside
// `stagingFolder`; the result carries the source's protection and identifier.
// `note` tells the user what became of the pages.
PdfDocument recognize(const PdfDocument& document, const QString& stagingFolder,
                      const OcrRequest& options, const ProgressCallback& progress, QString& note);

} // namespace batch
