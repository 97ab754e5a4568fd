#include "ocr/renderedcopy.h"

#include "engine/pdfdocument.h"
#include "ocr/pageimage.h"
#include "protocol/protocol.h"

#include <QDir>

using namespace Qt::StringLiterals;

namespace batch {

RenderedCopy::RenderedCopy(const PdfDocument& document)
    : m_folder(privateWorkBase() + u'/' + privateOcrPrefix + u"XXXXXX"_s)
{
    if (!m_folder.isValid() || !m_lock.tryLock(QDir(m_folder.path()).filePath(u".lock"_s)))
        fail(u"无法创建临时文件夹："_s + m_folder.errorString());
    if (!m_file.create(m_folder.path()))
        fail(u"无法准备临时副本："_s + m_file.failure());
    PdfDocument copy = document;
    copy.removeProtection();
    writeDocument(m_file.path(), copy, u"无法准备临时副本："_s);
    if (!m_document.load(m_file.path()))
        fail(u"无法读取页面以绘制。"_s);
}

QImage RenderedCopy::renderBand(int index, double dpi, int top, int rows, bool grey) const
{
    const QImage band = m_document.renderBand(index, dpi, top, rows);
    if (band.isNull())
        return band;
    const QImage flat = flattenPageImage(band);
    return grey ? flat.convertToFormat(QImage::Format_Grayscale8) : flat;
}

QImage RenderedCopy::render(int index, double dpi, bool grey) const
{
    QSize pixels;
    if (!pagePixelSize(pageSize(index), dpi, pixels))
        return QImage();
    const QImage page = m_document.render(index, pixels);
    if (page.isNull())
        return page;
    const QImage flat = flattenPageImage(page);
    return grey ? flat.convertToFormat(QImage::Format_Grayscale8) : flat;
}

} // namespace batch
