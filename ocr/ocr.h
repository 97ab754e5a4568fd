// The OCR engine's entry point in the worker: the batch recognition driver.
#pragma once

#include "engine/pdfdocument.h"
#include "protocol/ocroptions.h"
#include "protocol/protocol.h"

#include <QString>

namespace batch {

// What recognition made of a source: a PDF (searchable, or rebuilt from the
// recognised paragraphs), or a finished file of another kind, and what the
// user should know of it.
struct Recognition
{
    PdfDocument document; // null when `file` holds the result
    QString file;         // a DOCX in the staging folder
    QString note;
    // The note asks for a check: low confidence, a page read at reduced
    // resolution or not at all, a language that looks wrong.
    bool review = false;
};

// Recognises the admitted `document` into the output `options` ask for,
// working inside `stagingFolder`; a PDF result carries the source's protection
// and identifier.
Recognition recognize(const PdfDocument& document, const QString& stagingFolder,
                      const OcrRequest& options, const ProgressCallback& progress);

} // namespace batch
