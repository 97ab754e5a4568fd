// Final assembly of a searchable PDF: the source's pages, each recognised one
// with its text layer over the content it already had.
#include "engine/pagegeometry.h"
#include "engine/pdfdocument.h"
#include "ocr/invisibletext.h"
#include "ocr/ocrdocument.h"
#include "ocr/pageimage.h"
#include "ocr/textlayer.h"
#include "protocol/protocol.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <poppler/qt6/poppler-qt6.h>

#include <algorithm>
#include <exception>

using namespace Qt::StringLiterals;

namespace batch {

QList<VisibleText> OcrDocument::visibleText(int index) const
{
    QList<VisibleText> boxes;
    if (!m_pdf || index < 0 || index >= pageCount())
        return boxes;
    // The page alone, without its invisible text, as a reader extracts it.
    QPDF single;
    single.emptyPDF();
    const std::vector<QPDFPageObjectHelper> pages =
        QPDFPageDocumentHelper(m_pdf->pdf()).getAllPages();
    QPDFPageDocumentHelper(single).addPage(pages.at(size_t(index)), false);
    stripInvisibleText(single,
                       QPDFPageDocumentHelper(single).getAllPages().front().getObjectHandle());
    QPDFWriter writer(single);
    writer.setOutputMemory();
    writer.write();
    const std::shared_ptr<Buffer> buffer = writer.getBufferSharedPointer();
    const std::unique_ptr<Poppler::Document> document = Poppler::Document::loadFromData(QByteArray(
        reinterpret_cast<const char*>(buffer->getBuffer()), qsizetype(buffer->getSize())));
    const std::unique_ptr<Poppler::Page> page = document ? document->page(0) : nullptr;
    if (!page)
        return boxes;
    for (const std::unique_ptr<Poppler::TextBox>& box : page->textList()) {
        if (!box->text().trimmed().isEmpty())
            boxes.append({box->boundingBox(), box->text()});
    }
    return boxes;
}

bool OcrDocument::mergeSearchablePages(const QList<int>& pages, const QList<bool>& keep,
                                       const QList<TextLayer>& layers, const QByteArray& fontFile,
                                       const QString& outputPath, QString* error)
{
    const auto failWith = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };
    if (pages.isEmpty() || pages.size() != keep.size())
        return failWith(u"无效的页面合并计划。"_s);
    const int count = pageCount();
    if (std::any_of(pages.begin(), pages.end(), [count](int i) { return i < 0 || i >= count; }))
        return failWith(u"源页码超出范围。"_s);
    if (layers.size() != keep.count(false))
        return failWith(u"识别输出页数不匹配。"_s);

    try {
        // Poppler counted the pages that were recognised; the pages written are
        // QPDF's. A document the two read differently is not published.
        if (!m_pdf || m_pdf->pageCount() != count)
            return failWith(u"无法打开 PDF。请检查文件是否损坏、加密或受密码保护。"_s);
        bool inOrder = pages.size() == count;
        for (qsizetype j = 0; inOrder && j < pages.size(); ++j)
            inOrder = pages.at(j) == j;
        std::vector<PageRef> plan;
        for (const int index : pages)
            plan.push_back({m_pdf.get(), index});
        // All pages in their order: the document itself, with everything around
        // its pages (outlines, forms, names), gets the layers.
        PdfDocument result = inOrder ? *m_pdf : assemblePages(plan);
        const std::vector<QPDFPageObjectHelper> resultPages =
            QPDFPageDocumentHelper(result.pdf()).getAllPages();
        QPDFObjectHandle font;
        QSet<char32_t> supplementary;
        for (const TextLayer& layer : layers)
            supplementary.unite(layer.supplementary);
        qsizetype next = 0;
        for (qsizetype j = 0; j < pages.size(); ++j) {
            if (keep.at(j))
                continue;
            // A page recognised again loses its earlier invisible layer, and
            // gains words only where it shows no text of its own.
            // (A scan without text has neither: its content is not read again.)
            QPDFObjectHandle page = resultPages.at(size_t(j)).getObjectHandle();
            TextLayer layer = layers.at(next++);
            if (hasPageText(pages.at(j))) {
                // Read from the scan's own pixels, the words never saw the
                // page's text: none of them repeats it.
                const std::optional<CoveringPicture> covering =
                    coveringPicture(page, pageGeometry(page).cropBox);
                const bool fromPicture = covering && !covering->rendered;
                stripInvisibleText(result.pdf(), page);
                if (!fromPicture)
                    layer = withoutWordsOver(layer, visibleText(pages.at(j)));
            }
            if (!font.isInitialized())
                font = addLayerFont(result.pdf(), fontFile, supplementary);
            const PageGeometry geometry = pageGeometry(page);
            int rotate = geometry.rotate;
            if (layer.turn != 0) {
                rotate = (rotate + layer.turn) % 360;
                page.replaceKey("/Rotate", QPDFObjectHandle::newInteger(rotate));
            }
            if (!layer.content.isEmpty())
                placeTextLayer(result.pdf(), page, geometry.cropBox, rotate, layer, font);
        }
        writeDocumentSafely(outputPath, result);
    } catch (const std::exception& failure) {
        return failWith(explained(u"无法写出带文字层的页面。"_s, failure));
    }
    return true;
}

bool writeSearchablePicture(const QImage& picture, const QSizeF& points, const TextLayer& layer,
                            const QByteArray& fontFile, const QString& outputPath, QString* error)
{
    const QImage pixels = compactPageImage(flattenPageImage(picture));
    const bool mono = pixels.format() == QImage::Format_Mono;
    const bool grey = mono || pixels.format() == QImage::Format_Grayscale8;
    std::string data;
    const qsizetype rowBytes = (qsizetype(pixels.width()) * (mono ? 1 : grey ? 8 : 24) + 7) / 8;
    data.reserve(size_t(rowBytes * pixels.height()));
    for (int y = 0; y < pixels.height(); ++y)
        data.append(reinterpret_cast<const char*>(pixels.constScanLine(y)), size_t(rowBytes));
    try {
        auto pdf = std::make_shared<QPDF>();
        pdf->emptyPDF();
        QPDFObjectHandle image = flateStream(*pdf, QByteArray::fromStdString(data));
        QPDFObjectHandle dict = image.getDict();
        dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
        dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
        dict.replaceKey("/Width", QPDFObjectHandle::newInteger(pixels.width()));
        dict.replaceKey("/Height", QPDFObjectHandle::newInteger(pixels.height()));
        dict.replaceKey("/ColorSpace",
                        QPDFObjectHandle::newName(grey ? "/DeviceGray" : "/DeviceRGB"));
        dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(mono ? 1 : 8));
        // A 1-bit sample means white in PDF; in Qt it is an index into the colour table.
        if (mono && qGray(pixels.color(1)) < qGray(pixels.color(0)))
            dict.replaceKey("/Decode", QPDFObjectHandle::parse("[1 0]"));
        const QRectF box(0, 0, points.width(), points.height());
        QPDFObjectHandle page = pdf->makeIndirectObject(
            QPDFObjectHandle::parse("<< /Type /Page /Resources << /XObject << >> >> >>"));
        page.replaceKey("/MediaBox", QPDFObjectHandle::newArray(QPDFObjectHandle::Rectangle(
                                         0, 0, box.width(), box.height())));
        page.getKey("/Resources").getKey("/XObject").replaceKey("/Im0", image);
        page.replaceKey(
            "/Contents",
            pdf->newStream(QByteArray("q " + QByteArray::number(box.width(), 'f', 4) + " 0 0 " +
                                      QByteArray::number(box.height(), 'f', 4) +
                                      " 0 0 cm /Im0 Do Q\n")
                               .toStdString()));
        QPDFPageDocumentHelper(*pdf).addPage(QPDFPageObjectHelper(page), false);
        placeTextLayer(*pdf, page, box, 0, layer,
                       addLayerFont(*pdf, fontFile, layer.supplementary));
        writeDocumentSafely(outputPath, PdfDocument(pdf));
    } catch (const std::exception& failure) {
        if (error)
            *error = explained(u"无法写出带文字层的页面。"_s, failure);
        return false;
    }
    return true;
}

} // namespace batch
