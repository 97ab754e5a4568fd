// Qt's PDF writer maps each glyph back to the first code point the font
// assigns to it. CJK fonts share one glyph between an ideograph and its Kangxi
// radical (文 U+6587 and ⽂ U+2F42), and between space and tab, so copied or
// searched text came out as radicals and tabs. The maps are rewritten to the
// characters the text really holds.
#include "ocr/export/tounicode.h"

#include "engine/pdfdocument.h"

#include <QRegularExpression>
#include <QStringList>

#include <qpdf/QPDF.hh>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

QString preferredUnit(const QString& hex)
{
    const uint unit = hex.toUInt(nullptr, 16);
    if (unit == 0x09)
        return u"0020"_s;
    const bool radical = (unit >= 0x2E80 && unit <= 0x2EFF) || (unit >= 0x2F00 && unit <= 0x2FDF);
    if (!radical)
        return hex;
    const QString normal = QString(QChar(unit)).normalized(QString::NormalizationForm_KC);
    if (normal.size() != 1 || normal.at(0).unicode() == unit)
        return hex;
    return QString::number(normal.at(0).unicode(), 16).toUpper().rightJustified(4, u'0');
}

// Rewrites destination values only: the first one (bfchar) or two (bfrange)
// values of a line are glyph codes and stay.
QByteArray rewriteMap(const QByteArray& cmap, bool& changed)
{
    static const QRegularExpression token(u"<([0-9A-Fa-f]{4})>"_s);
    QStringList lines = QString::fromLatin1(cmap).split(u'\n');
    enum class Section
    {
        None,
        Char,
        Range
    } section = Section::None;
    for (QString& line : lines) {
        if (line.contains(u"beginbfchar"_s)) {
            section = Section::Char;
            continue;
        }
        if (line.contains(u"beginbfrange"_s)) {
            section = Section::Range;
            continue;
        }
        if (line.contains(u"endbfchar"_s) || line.contains(u"endbfrange"_s)) {
            section = Section::None;
            continue;
        }
        if (section == Section::None)
            continue;
        const int keep = section == Section::Char ? 1 : 2;
        QString rewritten;
        qsizetype copied = 0;
        int index = 0;
        for (auto it = token.globalMatch(line); it.hasNext(); ++index) {
            const QRegularExpressionMatch match = it.next();
            if (index < keep)
                continue;
            const QString value = preferredUnit(match.captured(1));
            if (value == match.captured(1))
                continue;
            rewritten += QStringView(line).mid(copied, match.capturedStart(1) - copied) + value;
            copied = match.capturedEnd(1);
        }
        if (copied > 0) {
            line = rewritten + QStringView(line).mid(copied);
            changed = true;
        }
    }
    return lines.join(u'\n').toLatin1();
}

} // namespace

bool repairToUnicodeMaps(const QString& path, QString* error)
{
    const auto maps = [](QPDF& pdf) {
        std::vector<QPDFObjectHandle> streams;
        for (QPDFObjectHandle& object : pdf.getAllObjects()) {
            if (object.isDictionary() && object.getKey("/ToUnicode").isStream())
                streams.push_back(object.getKey("/ToUnicode"));
        }
        return streams;
    };
    return rewriteStreams(path, maps, rewriteMap, error);
}

} // namespace batch
