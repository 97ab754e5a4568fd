// The OCR engine's entry point in the worker: the batch recognition driver.
#pragma once

#include "app/protocol.h"
#include "engine/pdfdocument.h"
#include "ocr/ocroptions.h"

#include <QJsonObject>
#include <QString>

namespace batch {

// Turns the admitted `document` into a searchable PDF, working inside
// `stagingFolder`; the result carries the source's protection and identifier.
PdfDocument recognize(const PdfDocument& document, const QString& stagingFolder,
                      const QJsonObject& request, const ProgressCallback& progress);

} // namespace batch
