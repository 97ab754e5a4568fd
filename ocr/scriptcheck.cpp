// Which Chinese script a page is written in, when one model of each is at
// hand. Both models read either script with a confidence near 90: each
// writes the characters of its own script for the other's glyphs (处 read as
// 處). The picture decides: where the two readings differ, each candidate
// character is drawn in a CJK font of the system and compared with the
// glyph's own pixels.
#include "ocr/scriptcheck.h"

#include <QDir>
#include <QFileInfo>
#include <QRect>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr int side = 32; // glyphs are compared as side × side bitmaps

struct Symbol
{
    QString text;
    QRect box;
};

std::vector<Symbol> symbolsOf(tesseract::TessBaseAPI& engine, const QImage& sample, int dpi)
{
    const int bytesPerPixel = sample.format() == QImage::Format_Grayscale8 ? 1 : 3;
    engine.SetImage(sample.constBits(), sample.width(), sample.height(), bytesPerPixel,
                    static_cast<int>(sample.bytesPerLine()));
    engine.SetSourceResolution(dpi);
    std::vector<Symbol> symbols;
    if (engine.Recognize(nullptr) != 0)
        return symbols;
    std::unique_ptr<tesseract::ResultIterator> it(engine.GetIterator());
    if (!it)
        return symbols;
    do {
        std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_SYMBOL));
        int left = 0, top = 0, right = 0, bottom = 0;
        if (text && it->BoundingBox(tesseract::RIL_SYMBOL, &left, &top, &right, &bottom))
            symbols.push_back({QString::fromUtf8(text.get()),
                               QRect(QPoint(left, top), QPoint(right - 1, bottom - 1))});
    } while (it->Next(tesseract::RIL_SYMBOL));
    return symbols;
}

bool isHan(const QString& text)
{
    const QList<uint> points = text.toUcs4();
    return points.size() == 1 && QChar::script(points.front()) == QChar::Script_Han;
}

// Ink (dark on light) cropped to its own box and scaled to side × side, as
// one byte per pixel, 1 for ink.
std::vector<uchar> normalised(const QImage& grey)
{
    QRect ink;
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < grey.width(); ++x) {
            if (row[x] < 128)
                ink = ink.united(QRect(x, y, 1, 1));
        }
    }
    if (ink.isEmpty())
        return {};
    const QImage scaled =
        grey.copy(ink).scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    std::vector<uchar> bits(size_t(side) * size_t(side));
    for (int y = 0; y < side; ++y) {
        const uchar* row = scaled.constScanLine(y);
        for (int x = 0; x < side; ++x)
            bits[size_t(y * side + x)] = row[x] < 160 ? 1 : 0;
    }
    return bits;
}

double overlap(const std::vector<uchar>& a, const std::vector<uchar>& b)
{
    if (a.empty() || b.empty())
        return 0;
    int both = 0;
    int either = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        both += a[i] & b[i];
        either += a[i] | b[i];
    }
    return either > 0 ? double(both) / either : 0;
}

// A CJK font the system has, as FreeType reads it.
class GlyphFont
{
public:
    GlyphFont()
    {
        if (FT_Init_FreeType(&m_library) != 0)
            return;
        // Mapped by Qt rather than opened by FreeType, which takes narrow
        // names, whatever characters the fonts folder's path holds.
        for (const QString& path : candidates()) {
            m_file.setFileName(path);
            if (!m_file.open(QIODevice::ReadOnly))
                continue;
            const uchar* bytes = m_file.map(0, m_file.size());
            if (bytes &&
                FT_New_Memory_Face(m_library, bytes, FT_Long(m_file.size()), 0, &m_face) == 0) {
                FT_Set_Pixel_Sizes(m_face, 0, 64);
                return;
            }
            m_file.close();
        }
    }
    ~GlyphFont()
    {
        if (m_face)
            FT_Done_Face(m_face);
        if (m_library)
            FT_Done_FreeType(m_library);
    }
    GlyphFont(const GlyphFont&) = delete;
    GlyphFont& operator=(const GlyphFont&) = delete;

    bool isValid() const { return m_face != nullptr; }

    std::vector<uchar> draw(const QString& character) const
    {
        const QList<uint> points = character.toUcs4();
        if (!m_face || points.size() != 1 || FT_Get_Char_Index(m_face, points.front()) == 0 ||
            FT_Load_Char(m_face, points.front(), FT_LOAD_RENDER) != 0)
            return {};
        const FT_Bitmap& bitmap = m_face->glyph->bitmap;
        if (bitmap.pixel_mode != FT_PIXEL_MODE_GRAY || bitmap.width == 0 || bitmap.rows == 0)
            return {};
        QImage glyph(int(bitmap.width), int(bitmap.rows), QImage::Format_Grayscale8);
        for (int y = 0; y < glyph.height(); ++y) {
            const uchar* coverage = bitmap.buffer + qsizetype(y) * bitmap.pitch;
            uchar* row = glyph.scanLine(y);
            for (int x = 0; x < glyph.width(); ++x)
                row[x] = uchar(255 - coverage[x]);
        }
        return normalised(glyph);
    }

private:
    static QStringList candidates()
    {
        const QString windows = QDir::fromNativeSeparators(qEnvironmentVariable("WINDIR"));
        return {u"/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc"_s,
                u"/usr/share/fonts/opentype/noto/NotoSerifCJK-Regular.ttc"_s,
                u"/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"_s,
                u"/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc"_s,
                u"/usr/share/fonts/truetype/arphic/uming.ttc"_s,
                windows + u"/Fonts/msyh.ttc"_s,
                windows + u"/Fonts/simsun.ttc"_s,
                windows + u"/Fonts/msjh.ttc"_s};
    }

    QFile m_file; // holds the face's mapped bytes
    FT_Library m_library = nullptr;
    FT_Face m_face = nullptr;
};

} // namespace

bool otherScriptReadsBetter(tesseract::TessBaseAPI& own, tesseract::TessBaseAPI& other,
                            const QImage& sample, int dpi)
{
    const GlyphFont font;
    if (!font.isValid() || sample.isNull())
        return false;
    const QImage grey = sample.convertToFormat(QImage::Format_Grayscale8);
    const std::vector<Symbol> ours = symbolsOf(own, sample, dpi);
    const std::vector<Symbol> theirs = symbolsOf(other, sample, dpi);
    constexpr double clearly = 0.03;
    int ownVotes = 0;
    int otherVotes = 0;
    for (const Symbol& mine : ours) {
        for (const Symbol& their : theirs) {
            const QRect common = mine.box & their.box;
            if (mine.text == their.text || !isHan(mine.text) || !isHan(their.text) ||
                common.width() * common.height() * 2 < mine.box.width() * mine.box.height())
                continue;
            const std::vector<uchar> glyph = normalised(grey.copy(mine.box | their.box));
            const double asOurs = overlap(glyph, font.draw(mine.text));
            const double asTheirs = overlap(glyph, font.draw(their.text));
            ownVotes += asOurs > asTheirs + clearly ? 1 : 0;
            otherVotes += asTheirs > asOurs + clearly ? 1 : 0;
            break;
        }
    }
    return otherVotes >= 2 && otherVotes > 2 * ownVotes;
}

} // namespace batch
