// "stamp": page numbers, Bates numbers and watermarks. Qt's PDF writer draws
// them on pages of the visible size, embedding a subset of the font with a
// text map; each of those pages becomes a form placed over the page's crop
// box, turned with /Rotate. The page's own content is wrapped in q … Q and
// never decoded; annotations and forms are not touched.
#include "engine/pagegeometry.h"
#include "engine/pdfdocument.h"
#include "ocr/export/fontfiles.h"
#include "ocr/export/tounicode.h"
#include "ocr/pagetools.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <cmath>
#include <map>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr double pointsPerMm = 72.0 / 25.4;

// A registered font file where there is one (Windows), else Debian's Noto.
QString stampFamily()
{
    const QString registered = registeredChineseFamily();
    return registered.isEmpty() ? u"Noto Sans CJK SC"_s : registered;
}

QFont stampFont(double points)
{
    // Debian's Noto Sans CJK (OFL), or Windows' own YaHei; Qt embeds a subset.
    QFont font(stampFamily());
    font.setFamilies({stampFamily(), u"Noto Sans CJK SC"_s, u"Microsoft YaHei"_s, u"SimSun"_s});
    font.setPointSizeF(points);
    return font;
}

// Where a line of text of `size` sits on a page of `page` points, `margin`
// from the edges named by `position` ("bottom-center" …), as a rectangle in
// viewer space with the origin at the top left.
QRectF placed(const QString& position, const QSizeF& page, const QSizeF& size, double margin)
{
    const double x = position.endsWith(u"left"_s)    ? margin
                     : position.endsWith(u"right"_s) ? page.width() - margin - size.width()
                                                     : (page.width() - size.width()) / 2;
    const double y =
        position.startsWith(u"top"_s) ? margin : page.height() - margin - size.height();
    return QRectF(QPointF(x, y), size);
}

bool validPosition(const QString& position)
{
    static const QStringList positions{u"top-left"_s,    u"top-center"_s,    u"top-right"_s,
                                       u"bottom-left"_s, u"bottom-center"_s, u"bottom-right"_s};
    return positions.contains(position);
}

// Refuses settings a stamp cannot be made of, before any page is touched.
void checkStampOptions(const JobRequest& request)
{
    const bool numbers = !request.numberFormat.isEmpty();
    const bool bates = request.batesDigits > 0;
    const bool watermark = !request.watermarkText.isEmpty() || !request.watermarkImage.isEmpty();
    if (!numbers && !bates && !watermark)
        fail(u"请至少设置页码、Bates 编号或水印中的一项。"_s);
    if (numbers && !request.numberFormat.contains(u"{n}"_s))
        fail(u"页码格式需包含 {n}，例如“第 {n} 页 共 {total} 页”。"_s);
    if (!validPosition(request.numberPosition) || (!validPosition(request.watermarkImagePosition) &&
                                                   request.watermarkImagePosition != u"center"_s))
        fail(u"位置无效：请选择 top-left、top-center、top-right、bottom-left、bottom-center 或 "
             u"bottom-right。"_s);
    if (request.batesDigits < 0 || request.batesDigits > 12 || request.batesStart < 0 ||
        request.firstNumber < 0 || request.skipFirst < 0)
        fail(u"编号设置无效：位数为 1 至 12，起始编号不能为负数。"_s);
    if (!(request.fontSize >= 4 && request.fontSize <= 72) ||
        !(request.watermarkSize >= 4 && request.watermarkSize <= 400) ||
        !(request.watermarkOpacity > 0 && request.watermarkOpacity <= 1) ||
        !(request.numberMargin >= 0 && request.numberMargin <= 100) ||
        !(request.watermarkScale > 0 && request.watermarkScale <= 1) ||
        !std::isfinite(request.watermarkAngle) || !QColor(request.watermarkColor).isValid())
        fail(u"字号、透明度、边距、缩放或颜色超出范围。"_s);
}

// What one page gets in front of its content.
struct PageStamp
{
    QString number; // "" for none
    QString bates;
};

class StampDrawer
{
public:
    StampDrawer(const JobRequest& request, const QImage& seal) : m_request(request), m_seal(seal) {}

    // Numbers as text (searchable, in the embedded font).
    void drawNumbers(QPainter& painter, const QSizeF& page, const PageStamp& stamp) const
    {
        painter.setFont(stampFont(m_request.fontSize));
        painter.setPen(Qt::black);
        const double margin = m_request.numberMargin * pointsPerMm;
        const QFontMetricsF metrics(painter.font());
        const auto draw = [&](const QString& text, const QString& position) {
            const QSizeF size(metrics.horizontalAdvance(text), metrics.height());
            const QRectF box = placed(position, page, size, margin);
            // A digit right after a letter or a mark starts a new run: shaped
            // after one, a digit of the CJK fonts reaches Qt's text map
            // without its character, and could not be found.
            qsizetype start = 0;
            for (qsizetype end = 1; end <= text.size(); ++end) {
                if (end < text.size() && !(text.at(end).isDigit() && !text.at(end - 1).isDigit() &&
                                           !text.at(end - 1).isSpace()))
                    continue;
                painter.drawText(QPointF(box.left() + metrics.horizontalAdvance(text.left(start)),
                                         box.top() + metrics.ascent()),
                                 text.mid(start, end - start));
                start = end;
            }
        };
        if (!stamp.number.isEmpty())
            draw(stamp.number, m_request.numberPosition);
        if (!stamp.bates.isEmpty())
            draw(stamp.bates, m_request.numberPosition == u"bottom-right"_s ? u"bottom-left"_s
                                                                            : u"bottom-right"_s);
    }

    // The watermark as outlines, so that no viewer copies or finds its words.
    void drawWatermark(QPainter& painter, const QSizeF& page) const
    {
        painter.setOpacity(m_request.watermarkOpacity);
        if (!m_request.watermarkText.isEmpty()) {
            QPainterPath path;
            path.addText(0, 0, stampFont(m_request.watermarkSize), m_request.watermarkText);
            const QRectF bounds = path.boundingRect();
            // Never wider than the page's diagonal, however long the text.
            const double diagonal = std::hypot(page.width(), page.height());
            const double scale = std::min(1.0, 0.9 * diagonal / std::max(1.0, bounds.width()));
            const QPointF middle = bounds.center();
            const auto stampAt = [&](const QPointF& centre) {
                painter.save();
                painter.translate(centre);
                painter.rotate(-m_request.watermarkAngle);
                painter.scale(scale, scale);
                painter.translate(-middle);
                painter.fillPath(path, QColor(m_request.watermarkColor));
                painter.restore();
            };
            if (!m_request.watermarkTiled) {
                stampAt(QPointF(page.width() / 2, page.height() / 2));
            } else {
                const double step = std::max(bounds.width() * scale, bounds.height() * scale) + 40;
                for (double y = step / 2; y < page.height(); y += step * 0.6)
                    for (double x = step / 2; x < page.width() + step; x += step)
                        stampAt(QPointF(x - (int(y / (step * 0.6)) % 2) * step / 2, y));
            }
        }
        if (!m_seal.isNull()) {
            const double width = page.width() * m_request.watermarkScale;
            const QSizeF size(width, width * m_seal.height() / std::max(1, m_seal.width()));
            const QRectF box = m_request.watermarkImagePosition == u"center"_s
                                   ? QRectF(QPointF((page.width() - size.width()) / 2,
                                                    (page.height() - size.height()) / 2),
                                            size)
                                   : placed(m_request.watermarkImagePosition, page, size,
                                            m_request.numberMargin * pointsPerMm);
            painter.drawImage(box, m_seal);
        }
        painter.setOpacity(1);
    }

private:
    const JobRequest& m_request;
    const QImage& m_seal;
};

// One drawing per page of `sizes`, written by Qt into `path`; `draw` paints
// page i. The file's text maps are pointed at the characters drawn.
void writeOverlay(const QString& path, const QList<QSizeF>& sizes,
                  const std::function<void(QPainter&, int)>& draw)
{
    {
        QPdfWriter writer(path);
        writer.setResolution(72);
        const auto layout = [](const QSizeF& size) {
            return QPageLayout(QPageSize(size, QPageSize::Point, QString(), QPageSize::ExactMatch),
                               QPageLayout::Portrait, QMarginsF());
        };
        writer.setPageLayout(layout(sizes.first()));
        QPainter painter(&writer);
        for (qsizetype i = 0; i < sizes.size(); ++i) {
            if (i > 0) {
                writer.setPageLayout(layout(sizes.at(i)));
                writer.newPage();
            }
            draw(painter, int(i));
        }
        if (!painter.end())
            fail(u"无法生成页码或水印。"_s);
    }
    QString error;
    if (!repairToUnicodeMaps(path, &error))
        fail(u"无法生成页码或水印："_s + error);
}

// A name not yet in `dictionary`, starting from `base`.
std::string freeName(QPDFObjectHandle dictionary, const std::string& base)
{
    std::string name = base;
    for (int n = 1; dictionary.isDictionary() && dictionary.hasKey(name); ++n)
        name = base + std::to_string(n);
    return name;
}

// The page's own copy of its resources: pages may share them, and each gets
// its own stamp.
QPDFObjectHandle ownResources(QPDFObjectHandle page)
{
    QPDFObjectHandle resources = page.getKey("/Resources");
    resources =
        resources.isDictionary() ? resources.shallowCopy() : QPDFObjectHandle::newDictionary();
    page.replaceKey("/Resources", resources);
    return resources;
}

// The resources' own copy of their sub-dictionary `key`.
QPDFObjectHandle ownSubdictionary(QPDFObjectHandle resources, const std::string& key)
{
    QPDFObjectHandle sub = resources.getKey(key);
    sub = sub.isDictionary() ? sub.shallowCopy() : QPDFObjectHandle::newDictionary();
    resources.replaceKey(key, sub);
    return sub;
}

// The optional-content group "水印", so that viewers can hide the watermark.
QPDFObjectHandle watermarkLayer(QPDF& pdf)
{
    QPDFObjectHandle group = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
    group.replaceKey("/Type", QPDFObjectHandle::newName("/OCG"));
    group.replaceKey("/Name", QPDFObjectHandle::newUnicodeString("水印"));
    QPDFObjectHandle root = pdf.getRoot();
    QPDFObjectHandle properties = root.getKey("/OCProperties");
    if (!properties.isDictionary()) {
        properties = QPDFObjectHandle::parse("<< /OCGs [] /D << /Order [] >> >>");
        root.replaceKey("/OCProperties", properties);
    }
    QPDFObjectHandle groups = properties.getKey("/OCGs");
    if (!groups.isArray()) {
        groups = QPDFObjectHandle::newArray();
        properties.replaceKey("/OCGs", groups);
    }
    groups.appendItem(group);
    QPDFObjectHandle defaults = properties.getKey("/D");
    if (defaults.isDictionary() && defaults.getKey("/Order").isArray())
        defaults.getKey("/Order").appendItem(group);
    return group;
}

std::string matrixText(const QList<double>& matrix)
{
    std::string text;
    for (const double value : matrix)
        text += QString::number(value, 'f', 5).toStdString() + " ";
    return text + "cm ";
}

} // namespace

QString stampDocument(PdfDocument& document, const JobRequest& request,
                      const QString& scratchFolder)
{
    checkStampOptions(request);
    QImage seal;
    if (!request.watermarkImage.isEmpty() && !seal.load(request.watermarkImage))
        fail(u"水印图片无法读取：%1"_s.arg(QDir::toNativeSeparators(request.watermarkImage)));
    QPDF& pdf = document.pdf();
    std::vector<QPDFPageObjectHelper> pages;
    try {
        QPDFPageDocumentHelper helper(pdf);
        helper.pushInheritedAttributesToPage();
        pages = helper.getAllPages();
    } catch (const std::exception& error) {
        failExplained(u"无法读取页面列表。"_s, error);
    }
    const int count = int(pages.size());
    QList<QSizeF> visible;
    QList<PageGeometry> geometry;
    for (const QPDFPageObjectHelper& page : pages) {
        const PageGeometry shape = pageGeometry(page.getObjectHandle());
        geometry << shape;
        const bool sideways = shape.rotate == 90 || shape.rotate == 270;
        visible << (sideways ? shape.cropBox.size().transposed() : shape.cropBox.size());
    }

    // The numbers of each page: {total} is the last number shown.
    const qint64 last = request.firstNumber + std::max(0, count - request.skipFirst) - 1;
    QList<PageStamp> stamps;
    for (int i = 0; i < count; ++i) {
        PageStamp stamp;
        if (!request.numberFormat.isEmpty() && i >= request.skipFirst)
            stamp.number =
                QString(request.numberFormat)
                    .replace(u"{n}"_s, QString::number(request.firstNumber + i - request.skipFirst))
                    .replace(u"{total}"_s, QString::number(last));
        if (request.batesDigits > 0)
            stamp.bates =
                request.batesPrefix +
                u"%1"_s.arg(request.batesStart + i, request.batesDigits, 10, QLatin1Char('0'));
        stamps << stamp;
    }
    const StampDrawer drawer(request, seal);
    const bool numbered = !request.numberFormat.isEmpty() || request.batesDigits > 0;
    const bool watermarked = !request.watermarkText.isEmpty() || !seal.isNull();
    const QString numbersFile = QDir(scratchFolder).filePath(u"numbers.pdf"_s);
    const QString watermarkFile = QDir(scratchFolder).filePath(u"watermark.pdf"_s);
    // One watermark for each size of page.
    QList<QSizeF> sizes;
    for (const QSizeF& size : visible) {
        if (!sizes.contains(size))
            sizes << size;
    }
    if (numbered)
        writeOverlay(numbersFile, visible, [&](QPainter& painter, int i) {
            drawer.drawNumbers(painter, visible.at(i), stamps.at(i));
        });
    if (watermarked)
        writeOverlay(watermarkFile, sizes,
                     [&](QPainter& painter, int i) { drawer.drawWatermark(painter, sizes.at(i)); });

    try {
        const PdfDocument numbers =
            numbered ? openOwnFile(numbersFile, u"无法生成页码："_s) : PdfDocument();
        const PdfDocument marks =
            watermarked ? openOwnFile(watermarkFile, u"无法生成水印："_s) : PdfDocument();
        const auto form = [&pdf](const PdfDocument& overlay, int index) {
            QPDFPageObjectHelper page(overlay.pdf().getAllPages().at(size_t(index)));
            return pdf.copyForeignObject(page.getFormXObjectForPage());
        };
        std::map<int, QPDFObjectHandle> watermarkForms;
        const QPDFObjectHandle layer = watermarked ? watermarkLayer(pdf) : QPDFObjectHandle();
        for (int i = 0; i < count; ++i) {
            QPDFObjectHandle page = pages[size_t(i)].getObjectHandle();
            QPDFObjectHandle resources = ownResources(page);
            QPDFObjectHandle xobjects = ownSubdictionary(resources, "/XObject");
            // Qt rounds page sizes to whole points: the form is stretched
            // by that fraction onto the exact box.
            const QSizeF drawn = visible.at(i).toSize();
            const std::string place = matrixText(
                viewerToUserMatrix(geometry.at(i).cropBox, geometry.at(i).rotate, drawn));
            std::string front;
            std::string behind;
            if (watermarked) {
                const int sizeIndex = int(sizes.indexOf(visible.at(i)));
                if (!watermarkForms.count(sizeIndex))
                    watermarkForms[sizeIndex] = form(marks, sizeIndex);
                const std::string name = freeName(xobjects, "/QpbWatermark");
                xobjects.replaceKey(name, watermarkForms[sizeIndex]);
                QPDFObjectHandle properties = ownSubdictionary(resources, "/Properties");
                const std::string tag = freeName(properties, "/QpbLayer");
                properties.replaceKey(tag, layer);
                const std::string mark =
                    "/Artifact << /Type /Pagination /Subtype /Watermark >> BDC /OC " + tag +
                    " BDC q " + place + name + " Do Q EMC EMC\n";
                (request.watermarkBehind ? behind : front) += mark;
            }
            if (numbered) {
                const std::string name = freeName(xobjects, "/QpbNumber");
                xobjects.replaceKey(name, form(numbers, i));
                front += "/Artifact << /Type /Pagination >> BDC q " + place + name + " Do Q EMC\n";
            }
            QPDFPageObjectHelper helper(page);
            helper.addPageContents(QPDFObjectHandle::newStream(&pdf, behind + "q\n"), true);
            helper.addPageContents(QPDFObjectHandle::newStream(&pdf, "\nQ\n" + front), false);
        }
        for (const PdfDocument* overlay : {&numbers, &marks}) {
            if (!overlay->isNull())
                document.keepAlive(*overlay);
        }
    } catch (const std::runtime_error&) {
        throw;
    } catch (const std::exception& error) {
        failExplained(u"无法添加页码或水印。"_s, error);
    }
    if (request.batesDigits <= 0 || count == 0)
        return QString();
    return u"Bates 编号 %1 至 %2"_s.arg(stamps.first().bates, stamps.last().bates);
}

} // namespace batch
