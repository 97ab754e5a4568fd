// The worker's whole job: one request in, one result object out.
#pragma once

#include "ocr/ocr.h"
#include "protocol/protocol.h"
#include "protocol/request.h"

#include <QJsonObject>

#include <functional>

namespace batch {

// Recognises an admitted source inside the staging folder (the OCR driver's
// `recognize`; only its declaration is used here). A process that runs only
// document jobs passes none and never loads the recognition libraries.
using Recognizer = Recognition (*)(const PdfDocument& source, const QString& stagingFolder,
                                   const OcrRequest& options, const ProgressCallback& progress);

// Told a published result at once, before the job frees its documents (which
// takes seconds for large files), so that ending the worker then cannot make a
// published result look like none.
using ResultAnnouncer = std::function<void(const QJsonObject& result)>;

// Checks the request, admits the sources, runs the operation and publishes the
// result. Never throws: every failure becomes {"ok":false,"error":…}, and the
// job's staging folder is gone when this returns. An "ocr" request without a
// `recognizer` fails like any other internal error. Nothing is published once
// the process that started the worker is gone.
QJsonObject processRequest(const JobRequest& request, const ProgressCallback& progress,
                           Recognizer recognizer, const ResultAnnouncer& announce = {});

} // namespace batch
