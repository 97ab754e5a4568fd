// The invisible text layer of a recognised page, and its placement on the page
// itself, whose own content stays as it was.
//
// A layer is drawn upright in viewer space: the page as a viewer shows it, in
// points, origin at the lower left. Each recognised line is written as one
// horizontal run on its own baseline, whatever the slope of the line in the
// scan, so that viewers extract, copy and search it whole and in order.
#pragma once

#include <QByteArray>
#include <QList>
#include <QRectF>
#include <QSet>
#include <QSizeF>
#include <QString>

class QPDF;
class QPDFObjectHandle;

namespace tesseract {
class TessBaseAPI;
}

namespace batch {

// One word of a line, in viewer space.
struct LayerWord
{
    QString text;
    double left = 0;
    double right = 0;
};
struct LayerLine
{
    double baseline = 0;
    double height = 0; // the font size
    QList<LayerWord> words;
};

struct TextLayer
{
    QSizeF size;        // viewer space, points
    QByteArray content; // text operators for a form with the fonts of addLayerFont
    int turn = 0;       // degrees clockwise the page's /Rotate gains to show it upright
    // Characters beyond the Basic Multilingual Plane the content shows
    QSet<char32_t> supplementary{};
    QList<LayerLine> lines{}; // what the content shows
};

// Text a page shows of its own: a word's box (viewer space of the page before
// the layer's turn, origin at the top left) and what it says.
struct VisibleText
{
    QRectF box;
    QString text;
};

// `layer` without the recognised words that repeat the page's own text: a
// word a third covered by a visible word that says the same. Only there would
// the layer say it twice; a watermark's large boxes over other words, or a
// stamp over a scan, take nothing away.
TextLayer withoutWordsOver(const TextLayer& layer, const QList<VisibleText>& visible);

// Where the recognised picture came from: `pixels` of the viewer-space page
// `size`, turned by `skewDegrees` (clockwise) about its centre before it was
// recognised. Recognised boxes are turned back onto the page.
struct RecognitionGeometry
{
    QSizeF size;
    double pixelWidth = 0;
    double pixelHeight = 0;
    double skewDegrees = 0;
};

// The layer of what `engine` has just recognised.
TextLayer buildTextLayer(tesseract::TessBaseAPI& engine, const RecognitionGeometry& geometry);

// The text operators of `lines`. Between two words a space is written unless
// both sides are CJK characters, which are written without spaces so that a
// phrase search finds them; each word is stretched to reach the next one, the
// last to its own right edge.
// Characters beyond the Basic Multilingual Plane are added to `supplementary`.
QByteArray layerContent(const QList<LayerLine>& lines, QSet<char32_t>* supplementary = nullptr);

// Adds `layer` to `page` of `pdf`, shown with `rotate` and cut to `cropBox`
// (default user space), as a form drawn before the page's own content, which
// is left untouched. `fonts` comes from addLayerFont.
void placeTextLayer(QPDF& pdf, QPDFObjectHandle page, const QRectF& cropBox, int rotate,
                    const TextLayer& layer, QPDFObjectHandle fonts);
// The glyph-less font that all layers share, from the bytes of pdf.ttf, as a
// font resource dictionary: "/F" for the Basic Multilingual Plane and, for the
// planes of `supplementary`, "/G1" to "/G3", which differ only in their
// ToUnicode maps (of just the characters shown: readers expand every entry).
QPDFObjectHandle addLayerFont(QPDF& pdf, const QByteArray& fontFile,
                              const QSet<char32_t>& supplementary = {});
// A new stream of `data`, Flate-compressed: documents are written with their
// stream data as it is, so what we add must arrive compressed.
QPDFObjectHandle flateStream(QPDF& pdf, const QByteArray& data);

} // namespace batch
