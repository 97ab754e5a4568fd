#include "ocr/textlayer.h"

#include "engine/pagegeometry.h"

#include <qpdf/Pl_Flate.hh>
#include <qpdf/Pl_String.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <QTransform>

#include <algorithm>
#include <cmath>
#include <memory>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// The glyph-less font's every glyph is half an em wide. Readers give a word
// the box from the font's descent to its ascent: 0.7 em, of which 0.2 below
// the baseline, as in Latin and CJK type. The em is thus larger than the
// recognised line, which is what readers judge line spacing and columns by:
// lines of a paragraph are a block when their baselines are at most 1.5 em
// apart, and an em the line's own height kept the lines of a column with
// ordinary spacing apart, each its own block; side by side, the lines of two
// columns were then read across, one line of each in turn.
constexpr double glyphWidth = 0.5;
constexpr double lineShare = 0.7;  // of the em, the line's height
constexpr double belowShare = 0.2; // of the em, below the baseline

// A gap between two CJK words wider than this share of the font size (a
// character is about one em) parts cells of a table, not words of a sentence.
constexpr double cellGap = 0.75;

// UTF-16 code units of scripts written without spaces between words.
bool isCjk(char16_t unit)
{
    return (unit >= 0x2E80 && unit <= 0x9FFF) || (unit >= 0xAC00 && unit <= 0xD7AF) ||
           (unit >= 0xD800 && unit <= 0xDFFF) || (unit >= 0xF900 && unit <= 0xFAFF) ||
           (unit >= 0xFE30 && unit <= 0xFE4F) || (unit >= 0xFF00 && unit <= 0xFFEF);
}

// A PDF number: fixed notation, no exponent, no trailing zeros.
QByteArray number(double value)
{
    QByteArray text = QByteArray::number(std::abs(value) < 1e-9 ? 0.0 : value, 'f', 4);
    while (text.endsWith('0'))
        text.chop(1);
    if (text.endsWith('.'))
        text.chop(1);
    return text == "-0" ? QByteArray("0") : text;
}

// Characters beyond the Basic Multilingual Plane (Extension B ideographs such
// as 𠮷) cannot be two 2-byte codes: each code maps to text on its own, and a
// lone surrogate extracts as U+FFFD. They are shown in a font of their plane,
// "/G1" to "/G3", whose code is the character's low 16 bits.
constexpr char32_t highestPlane = 3;

// `text` as Tj operations, switching fonts between planes; `font` is the
// plane whose font is selected, and stays so for the next word.
QByteArray shownText(const QString& text, const QByteArray& size, char32_t& font,
                     QSet<char32_t>* supplementary)
{
    QByteArray shown;
    QByteArray hex;
    const auto flush = [&] {
        if (!hex.isEmpty())
            shown += '<' + hex + "> Tj";
        hex.clear();
    };
    for (char32_t point : text.toUcs4()) {
        if (point >> 16 > highestPlane)
            point = 0xFFFD;
        const char32_t plane = point >> 16;
        if (plane != 0 && supplementary)
            supplementary->insert(point);
        if (plane != font) {
            flush();
            shown += (shown.isEmpty() ? "" : " ") +
                     (plane == 0 ? QByteArray("/F") : "/G" + QByteArray::number(plane)) + ' ' +
                     size + " Tf ";
            font = plane;
        }
        hex += QByteArray::number(uint(point & 0xFFFF), 16).rightJustified(4, '0');
    }
    flush();
    return shown;
}

struct TextDeleter
{
    void operator()(char* text) const { delete[] text; }
};

const char* const toUnicodeMap =
    "/CIDInit /ProcSet findresource begin\n12 dict begin\nbegincmap\n"
    "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
    "/CMapName /Adobe-Identity-UCS def\n/CMapType 2 def\n"
    "1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n"
    "1 beginbfrange\n<0000> <FFFF> <0000>\nendbfrange\n"
    "endcmap\nCMapName currentdict /CMap defineresource pop\nend\nend\n";

// Each code of a plane's font maps to its character, written as a surrogate pair.
QByteArray planeToUnicodeMap(const QList<char32_t>& characters)
{
    QByteArray map = "/CIDInit /ProcSet findresource begin\n12 dict begin\nbegincmap\n"
                     "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
                     "/CMapName /Adobe-Identity-UCS def\n/CMapType 2 def\n"
                     "1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n";
    const auto hex4 = [](uint value) {
        return QByteArray::number(value, 16).rightJustified(4, '0');
    };
    for (qsizetype block = 0; block < characters.size(); block += 100) {
        const qsizetype count = std::min<qsizetype>(100, characters.size() - block);
        map += QByteArray::number(count) + " beginbfchar\n";
        for (qsizetype i = block; i < block + count; ++i) {
            const uint offset = uint(characters.at(i)) - 0x10000;
            map += '<' + hex4(uint(characters.at(i)) & 0xFFFF) + "> <" +
                   hex4(0xD800 + (offset >> 10)) + hex4(0xDC00 + (offset & 0x3FF)) + ">\n";
        }
        map += "endbfchar\n";
    }
    return map + "endcmap\nCMapName currentdict /CMap defineresource pop\nend\nend\n";
}

// The lines of a block, a column as Tesseract finds it, get the block's median
// size, but for lines of their own size such as headings. Readers join lines
// into a block only when their font sizes agree within a twentieth, and the
// recognised heights of one column's lines differ by more with their
// ascenders and descenders.
void evenBlockSizes(QList<LayerLine>& lines, QList<qsizetype> starts)
{
    constexpr double ownSize = 0.25; // a line this much off the median keeps its size
    starts.append(lines.size());
    for (qsizetype b = 0; b + 1 < starts.size(); ++b) {
        const qsizetype begin = starts.at(b);
        const qsizetype end = starts.at(b + 1);
        if (end - begin < 2)
            continue;
        std::vector<double> heights;
        for (qsizetype i = begin; i < end; ++i)
            heights.push_back(lines.at(i).height);
        std::nth_element(heights.begin(), heights.begin() + long(heights.size() / 2),
                         heights.end());
        const double median = heights[heights.size() / 2];
        for (qsizetype i = begin; i < end; ++i) {
            if (std::abs(lines.at(i).height - median) <= ownSize * median)
                lines[i].height = median;
        }
    }
}

} // namespace

QByteArray layerContent(const QList<LayerLine>& lines, QSet<char32_t>* supplementary)
{
    QByteArray content = "BT\n3 Tr\n";
    for (const LayerLine& line : lines) {
        if (line.words.isEmpty() || line.height <= 0)
            continue;
        const double size = line.height;
        content += "/F " + number(size) + " Tf\n";
        char32_t font = 0;
        for (qsizetype i = 0; i < line.words.size(); ++i) {
            const LayerWord& word = line.words.at(i);
            QString text = word.text;
            double width = word.right - word.left;
            if (i + 1 < line.words.size()) {
                const QString& next = line.words.at(i + 1).text;
                // CJK runs on without spaces, but not across a gap of about a
                // character: table cells and form fields stay apart.
                const double gap = line.words.at(i + 1).left - word.right;
                if (!(isCjk(text.back().unicode()) && isCjk(next.front().unicode())) ||
                    gap > cellGap * size)
                    text += u' ';
                const double reach = line.words.at(i + 1).left - word.left;
                width = reach > 0 ? reach : width;
            }
            const double glyphs = double(text.toUcs4().size());
            width = std::max(width, 0.05 * size * glyphs);
            const double scale = 100.0 * width / (glyphs * glyphWidth * size);
            content += "1 0 0 1 " + number(word.left) + ' ' + number(line.baseline) + " Tm " +
                       number(scale) + " Tz " + shownText(text, number(size), font, supplementary) +
                       '\n';
        }
    }
    content += "ET\n";
    return content;
}

TextLayer buildTextLayer(tesseract::TessBaseAPI& engine, const RecognitionGeometry& geometry)
{
    TextLayer layer;
    layer.size = geometry.size;
    const double sx = geometry.size.width() / geometry.pixelWidth;
    const double sy = geometry.size.height() / geometry.pixelHeight;
    const double cx = geometry.pixelWidth * 0.5;
    const double cy = geometry.pixelHeight * 0.5;
    const double theta = geometry.skewDegrees * M_PI / 180.0;
    const double cosine = std::cos(theta);
    const double sine = std::sin(theta);
    // From the straightened picture back onto the page as scanned.
    const auto unturned = [&](double x, double y) {
        const double dx = x - cx;
        const double dy = y - cy;
        return QPointF(cx + dx * cosine + dy * sine, cy - dx * sine + dy * cosine);
    };

    QList<LayerLine> lines;
    QList<qsizetype> blockStarts;
    if (std::unique_ptr<tesseract::ResultIterator> it{engine.GetIterator()}) {
        int lineBottom = 0; // words are measured along their line's bottom edge
        do {
            int left = 0, top = 0, right = 0, bottom = 0;
            if (it->IsAtBeginningOf(tesseract::RIL_BLOCK))
                blockStarts.append(lines.size());
            if (it->IsAtBeginningOf(tesseract::RIL_TEXTLINE) &&
                it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom)) {
                lineBottom = bottom;
                // The em's share below the baseline reaches the line's bottom.
                const double height = (bottom - top) * sy;
                const QPointF base = unturned((left + right) * 0.5, bottom);
                const double size = height / lineShare;
                lines.append(
                    {geometry.size.height() - base.y() * sy + belowShare * size, size, {}});
            }
            if (lines.isEmpty() ||
                !it->BoundingBox(tesseract::RIL_WORD, &left, &top, &right, &bottom))
                continue;
            const std::unique_ptr<char, TextDeleter> utf8{it->GetUTF8Text(tesseract::RIL_WORD)};
            const QString text = utf8 ? QString::fromUtf8(utf8.get()).simplified() : QString();
            if (!text.isEmpty()) {
                lines.last().words.append({text, unturned(left, lineBottom).x() * sx,
                                           unturned(right, lineBottom).x() * sx});
            }
        } while (it->Next(tesseract::RIL_WORD));
    }
    evenBlockSizes(lines, blockStarts);
    layer.content = layerContent(lines, &layer.supplementary);
    layer.lines = lines;
    return layer;
}

namespace {

// Letters and digits only, case folded: how recognition and a PDF's own text
// are compared.
QString comparable(const QString& text)
{
    QString letters;
    for (const QChar c : text) {
        if (c.isLetterOrNumber())
            letters += c.toCaseFolded();
    }
    return letters;
}

bool saysTheSame(const QString& recognised, const QString& shown)
{
    const QString a = comparable(recognised);
    const QString b = comparable(shown);
    return !a.isEmpty() && !b.isEmpty() && (b.contains(a) || a.contains(b));
}

} // namespace

TextLayer withoutWordsOver(const TextLayer& layer, const QList<VisibleText>& visible)
{
    if (visible.isEmpty() || layer.lines.isEmpty())
        return layer;
    // The boxes, turned as the layer is, with the origin at the lower left.
    const QSizeF before = layer.turn % 180 ? layer.size.transposed() : layer.size;
    QTransform turn;
    if (layer.turn == 90)
        turn = QTransform(0, 1, -1, 0, before.height(), 0);
    else if (layer.turn == 180)
        turn = QTransform(-1, 0, 0, -1, before.width(), before.height());
    else if (layer.turn == 270)
        turn = QTransform(0, -1, 1, 0, 0, before.width());
    QList<VisibleText> boxes;
    for (const VisibleText& shown : visible) {
        const QRectF turned = turn.mapRect(shown.box);
        boxes.append({QRectF(turned.left(), layer.size.height() - turned.bottom(), turned.width(),
                             turned.height()),
                      shown.text});
    }
    TextLayer result = layer;
    result.lines.clear();
    for (LayerLine line : layer.lines) {
        const double bottom = line.baseline - belowShare * line.height;
        QList<LayerWord> kept;
        for (const LayerWord& word : std::as_const(line.words)) {
            const QRectF own(word.left, bottom, word.right - word.left, lineShare * line.height);
            const double area = own.width() * own.height();
            const bool covered =
                std::any_of(boxes.begin(), boxes.end(), [&](const VisibleText& shown) {
                    const QRectF common = own & shown.box;
                    return common.width() * common.height() >= area / 3 &&
                           saysTheSame(word.text, shown.text);
                });
            if (!covered)
                kept.append(word);
        }
        line.words = kept;
        if (!line.words.isEmpty())
            result.lines.append(line);
    }
    result.supplementary.clear();
    result.content =
        result.lines.isEmpty() ? QByteArray() : layerContent(result.lines, &result.supplementary);
    return result;
}

QPDFObjectHandle flateStream(QPDF& pdf, const QByteArray& data)
{
    std::string compressed;
    Pl_String sink("compressed", nullptr, compressed);
    Pl_Flate flate("flate", &sink, Pl_Flate::a_deflate);
    flate.write(reinterpret_cast<const unsigned char*>(data.constData()), size_t(data.size()));
    flate.finish();
    QPDFObjectHandle stream = pdf.newStream();
    stream.replaceStreamData(compressed, QPDFObjectHandle::newName("/FlateDecode"),
                             QPDFObjectHandle::newNull());
    return stream;
}

QPDFObjectHandle addLayerFont(QPDF& pdf, const QByteArray& fontFile,
                              const QSet<char32_t>& supplementary)
{
    QPDFObjectHandle file = flateStream(pdf, fontFile);
    file.getDict().replaceKey("/Length1", QPDFObjectHandle::newInteger(fontFile.size()));
    QPDFObjectHandle descriptor = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /FontDescriptor /FontName /GlyphLessFont /Flags 5 /FontBBox [0 -200 500 500] "
        "/ItalicAngle 0 /Ascent 500 /Descent -200 /CapHeight 500 /StemV 80 >>"));
    descriptor.replaceKey("/FontFile2", file);
    // Every character code shows the font's one empty glyph.
    QByteArray glyphs;
    glyphs.reserve(2 * 65536);
    for (int code = 0; code < 65536; ++code)
        glyphs.append("\x00\x01", 2);
    QPDFObjectHandle descendant = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /Font /Subtype /CIDFontType2 /BaseFont /GlyphLessFont "
        "/CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> /DW 500 >>"));
    descendant.replaceKey("/FontDescriptor", descriptor);
    descendant.replaceKey("/CIDToGIDMap", flateStream(pdf, glyphs));
    QPDFObjectHandle font = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /Type /Font /Subtype /Type0 /BaseFont /GlyphLessFont "
                                "/Encoding /Identity-H >>"));
    font.replaceKey("/DescendantFonts", QPDFObjectHandle::newArray({descendant}));
    font.replaceKey("/ToUnicode", flateStream(pdf, toUnicodeMap));
    QPDFObjectHandle fonts = QPDFObjectHandle::newDictionary();
    fonts.replaceKey("/F", font);
    QList<char32_t> characters(supplementary.begin(), supplementary.end());
    std::sort(characters.begin(), characters.end());
    for (char32_t plane = 1; plane <= highestPlane; ++plane) {
        QList<char32_t> ofPlane;
        for (const char32_t point : std::as_const(characters)) {
            if (point >> 16 == plane)
                ofPlane.append(point);
        }
        if (ofPlane.isEmpty())
            continue;
        QPDFObjectHandle planeFont = pdf.makeIndirectObject(font.shallowCopy());
        planeFont.replaceKey("/ToUnicode", flateStream(pdf, planeToUnicodeMap(ofPlane)));
        fonts.replaceKey("/G" + std::to_string(plane), planeFont);
    }
    return fonts;
}

void placeTextLayer(QPDF& pdf, QPDFObjectHandle page, const QRectF& cropBox, int rotate,
                    const TextLayer& layer, QPDFObjectHandle fonts)
{
    QPDFObjectHandle form = flateStream(pdf, layer.content);
    QPDFObjectHandle dict = form.getDict();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Form"));
    dict.replaceKey("/BBox", QPDFObjectHandle::newArray(QPDFObjectHandle::Rectangle(
                                 0, 0, layer.size.width(), layer.size.height())));
    QPDFObjectHandle formResources = QPDFObjectHandle::newDictionary();
    formResources.replaceKey("/Font", fonts);
    dict.replaceKey("/Resources", formResources);

    // The page's resources may be inherited or shared with other pages: this
    // page gets its own copy before anything is added.
    QPDFPageObjectHelper helper(page);
    QPDFObjectHandle resources = helper.getAttribute("/Resources", false);
    resources =
        resources.isDictionary() ? resources.shallowCopy() : QPDFObjectHandle::newDictionary();
    QPDFObjectHandle xobjects = resources.getKey("/XObject");
    xobjects = xobjects.isDictionary() ? xobjects.shallowCopy() : QPDFObjectHandle::newDictionary();
    resources.replaceKey("/XObject", xobjects);
    int suffix = 1;
    const std::string name = resources.getUniqueResourceName("/OCR", suffix);
    xobjects.replaceKey(name, form);
    page.replaceKey("/Resources", resources);

    const QList<double> m = viewerToUserMatrix(cropBox, rotate, layer.size);
    const QByteArray draw = "q " + number(m[0]) + ' ' + number(m[1]) + ' ' + number(m[2]) + ' ' +
                            number(m[3]) + ' ' + number(m[4]) + ' ' + number(m[5]) + " cm " +
                            QByteArray::fromStdString(name) + " Do Q\n";
    helper.addPageContents(pdf.newStream(draw.toStdString()), true);
}

} // namespace batch
