#include "ocr/textlayer.h"

#include "engine/pdfdocument.h"

#include <QRegularExpression>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// UTF-16 code units of scripts written without spaces between words.
bool isCjk(uint unit)
{
    return (unit >= 0x2E80 && unit <= 0x9FFF) || (unit >= 0xAC00 && unit <= 0xD7AF) ||
           (unit >= 0xD800 && unit <= 0xDFFF) || (unit >= 0xF900 && unit <= 0xFAFF) ||
           (unit >= 0xFE30 && unit <= 0xFE4F) || (unit >= 0xFF00 && unit <= 0xFFEF);
}

uint unitAt(const QString& hex, qsizetype unitIndex)
{
    return hex.mid(unitIndex * 4, 4).toUInt(nullptr, 16);
}

struct Word
{
    qsizetype start = 0; // of the "Tz" operand
    qsizetype end = 0;   // after "TJ"
    double scale = 100;
    QString hex;
    double fontSize = 0;
    double advance = -1; // x offset of the following same-line Td, or -1
};

// Tesseract writes each word as "<scale> Tz [ <UTF-16BE hex> ] TJ" followed by
// "<dx> 0 Td" to the next word's origin; a space (0020) ends every word but
// the last of a block, and the scale stretches the word over its box.
QList<Word> parseWords(const QString& content)
{
    static const QRegularExpression token(
        uR"(/\S+ ([0-9.]+) Tf|([0-9.]+) Tz \[ <([0-9a-fA-F]*)> \] TJ|(-?[0-9.]+) (-?[0-9.]+) Td)"_s);
    QList<Word> words;
    double fontSize = 0;
    bool awaitingAdvance = false;
    for (auto it = token.globalMatch(content); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        if (match.hasCaptured(1)) {
            fontSize = match.captured(1).toDouble();
        } else if (match.hasCaptured(2)) {
            words.append({match.capturedStart(), match.capturedEnd(), match.captured(2).toDouble(),
                          match.captured(3), fontSize, -1});
            awaitingAdvance = true;
        } else if (awaitingAdvance) {
            if (match.captured(5).toDouble() == 0)
                words.last().advance = match.captured(4).toDouble();
            awaitingAdvance = false;
        }
    }
    return words;
}

// Drops the space between two CJK words and stretches the first so that its
// glyphs reach the next word: the glyph boxes then tile the line as the
// characters do in the picture, and text extraction sees one run.
QByteArray joinWords(const QByteArray& content, bool& changed)
{
    const QString text = QString::fromLatin1(content);
    const QList<Word> words = parseWords(text);
    QString result;
    qsizetype copied = 0;
    for (qsizetype i = 0; i + 1 < words.size(); ++i) {
        const Word& word = words.at(i);
        const QString& nextHex = words.at(i + 1).hex;
        const qsizetype units = word.hex.size() / 4;
        if (word.hex.size() % 4 != 0 || units < 2 || nextHex.size() < 4 ||
            unitAt(word.hex, units - 1) != 0x20 || !isCjk(unitAt(word.hex, units - 2)) ||
            !isCjk(unitAt(nextHex, 0)))
            continue;
        const double glyphWidth = 0.5 * word.fontSize; // the text font's glyphs are half an em
        const double scale = word.advance > 0 && glyphWidth > 0
                                 ? 100.0 * word.advance / (double(units - 1) * glyphWidth)
                                 : word.scale * double(units) / double(units - 1);
        result += QStringView(text).mid(copied, word.start - copied);
        result += QString::number(scale, 'f', 3) + u" Tz [ <"_s +
                  word.hex.left(word.hex.size() - 4) + u"> ] TJ"_s;
        copied = word.end;
    }
    if (copied == 0)
        return content;
    result += QStringView(text).mid(copied);
    changed = true;
    return result.toLatin1();
}

} // namespace

bool joinCjkWords(const QString& path, QString* error)
{
    const auto contents = [](QPDF& pdf) {
        std::vector<QPDFObjectHandle> streams;
        for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
            for (QPDFObjectHandle& stream : page.getPageContents())
                streams.push_back(stream);
        }
        return streams;
    };
    return rewriteStreams(path, contents, joinWords, error);
}

} // namespace batch
