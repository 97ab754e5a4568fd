// Qt's PDF writer maps each glyph back to the first code point the font
// assigns to it. CJK fonts share one glyph between an ideograph and its Kangxi
// radical (文 U+6587 and ⽂ U+2F42), and between space and tab, so copied or
// searched text came out as radicals and tabs. The maps are rewritten to the
// characters the text really holds.
#include "ocr/export/tounicode.h"

#include "engine/pdfdocument.h"

#include <QRegularExpression>

#include <map>
#include <QStringList>

#include <qpdf/QPDF.hh>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// The simplified-Chinese radicals of the supplement block have no
// compatibility mapping, yet share their glyph with the common ideograph.
uint simplifiedIdeograph(uint radical)
{
    static const std::map<uint, uint> ideographs{
        {0x2EC5, 0x89C1}, {0x2EC6, 0x89D2}, {0x2EC8, 0x8BA0}, {0x2EC9, 0x8D1D}, {0x2ECB, 0x8F66},
        {0x2ED0, 0x9485}, {0x2ED3, 0x957F}, {0x2ED4, 0x95E8}, {0x2ED7, 0x96E8}, {0x2ED8, 0x9752},
        {0x2EDA, 0x9875}, {0x2EDB, 0x98CE}, {0x2EDC, 0x98DE}, {0x2EDD, 0x98DF}, {0x2EE0, 0x9963},
        {0x2EE2, 0x9A6C}, {0x2EE3, 0x9AA8}, {0x2EE4, 0x9B3C}, {0x2EE5, 0x9C7C}, {0x2EE6, 0x9E1F},
        {0x2EE7, 0x5364}, {0x2EE8, 0x9EA6}, {0x2EE9, 0x9EC4}, {0x2EEC, 0x9F50}, {0x2EEF, 0x9F99},
        {0x2EF3, 0x9F9F}};
    const auto found = ideographs.find(radical);
    return found == ideographs.end() ? 0 : found->second;
}

QString preferredUnit(const QString& hex)
{
    const uint unit = hex.toUInt(nullptr, 16);
    if (unit == 0x09)
        return u"0020"_s;
    if (const uint ideograph = simplifiedIdeograph(unit))
        return QString::number(ideograph, 16).toUpper();
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
