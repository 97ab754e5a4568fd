// The check of the four OCR options, shared by the GUI and the worker.
#pragma once

#include "protocol/request.h"

#include <QString>

namespace batch {

// "" when the options are usable, otherwise the first failing check's message.
// Looks at the models folder only; loads nothing.
QString validateOcrOptions(const OcrRequest& options);

} // namespace batch
