// The worker's whole job: one request in, one result object out.
#pragma once

#include "ocr/ocr.h"
#include "ocr/pagetools.h"
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
// The pages of an admitted source that show nothing but paper (pagetools.h).
using BlankPageFinder = QList<int> (*)(const PdfDocument& source, double threshold,
                                       const ProgressCallback& progress);
// Pages of an admitted source drawn as pictures (pagetools.h).
using PageImageWriter = int (*)(const PdfDocument& source, const QList<int>& pages,
                                const PageImageOptions& options, const QString& target,
                                const QString& base, const ProgressCallback& progress);

// Pictures made pages (pagetools.h).
using PictureReader = ImagesDocument (*)(const QStringList& paths, bool fitA4,
                                         const ProgressCallback& progress);

// Numbers and watermarks drawn onto an admitted document (pagetools.h).
using Stamper = QString (*)(PdfDocument& document, const JobRequest& request,
                            const QString& scratchFolder);

// What only the module brings, as it alone loads the renderer and the
// recognition libraries. A process that runs document jobs passes none.
struct ModuleServices
{
    Recognizer recognize = nullptr;
    BlankPageFinder findBlankPages = nullptr;
    PageImageWriter writePageImages = nullptr;
    PictureReader imagesToPdf = nullptr;
    Stamper stamp = nullptr;
};

// Whether the request's job needs the module's services.
bool needsModule(const JobRequest& request);

// Told a published result at once, before the job frees its documents (which
// takes seconds for large files), so that ending the worker then cannot make a
// published result look like none.
using ResultAnnouncer = std::function<void(const QJsonObject& result)>;

// Checks the request, admits the sources, runs the operation and publishes the
// result. Never throws: every failure becomes {"ok":false,"error":…}, and the
// job's staging folder is gone when this returns. A request that needs the
// module without `module` fails like any other internal error. Nothing is
// published once the process that started the worker is gone.
QJsonObject processRequest(const JobRequest& request, const ProgressCallback& progress,
                           const ModuleServices* module, const ResultAnnouncer& announce = {});

} // namespace batch
