// The OCR engine's entry points used outside it: option checks shared by both
// processes, and the batch recognition driver of the worker.
#pragma once

#include "app/protocol.h"
#include "engine/pdfdocument.h"

#include <QJsonObject>
#include <QString>

namespace batch {

// "" when the options are usable, otherwise the first failing check's message.
// Looks at the models folder only; loads nothing.
QString validateOcrOptions(const QJsonObject& options);

// Turns the admitted `document` into a searchable PDF, working inside
// `stagingFolder`; the result carries the source's protection and identifier.
PdfDocument recognize(const PdfDocument& document, const QString& stagingFolder,
                      const QJsonObject& request, const ProgressCallback& progress);

} // namespace batch
