// An admitted document as the renderer draws it: a decrypted copy that only
// this process can reach and that goes with it, in a private folder whose
// lock tells a later job's sweep when its owner has died.
#pragma once

#include "engine/platformfs.h"
#include "ocr/ocrdocument.h"

#include <QImage>
#include <QTemporaryDir>

namespace batch {

class RenderedCopy
{
public:
    // Raises the user's message when the copy cannot be made or read.
    explicit RenderedCopy(const PdfDocument& document);

    int pageCount() const { return m_document.pageCount(); }
    // Points, as a viewer shows the page (crop box, turned).
    QSizeF pageSize(int index) const { return m_document.pageSize(index); }
    // The page at `dpi` with its annotations, on white; 8-bit grey when
    // `grey`, else 24-bit RGB. Null when the page is too large to draw at it.
    QImage render(int index, double dpi, bool grey) const;
    // Rows [top, top + rows) of the page at `dpi`, as render() gives them.
    QImage renderBand(int index, double dpi, int top, int rows, bool grey) const;

private:
    QTemporaryDir m_folder;
    FileLock m_lock;
    SecretFile m_file;
    OcrDocument m_document;
};

} // namespace batch
