#include "app/stampoptions.h"

#include "engine/pdfdocument.h"

#include <QCommandLineParser>
#include <QDir>

#include <cmath>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

enum Option
{
    Numbers,
    NumberPosition,
    FirstNumber,
    SkipFirst,
    Bates,
    BatesDigits,
    BatesStart,
    Watermark,
    WatermarkImage,
    WatermarkOpacity,
    WatermarkAngle,
    WatermarkTiled,
    FontSize
};

} // namespace

StampOptions::StampOptions()
{
    // In the order of Option; a value name for those that take one.
    const QList<std::pair<QString, QString>> options{
        {u"numbers"_s, u"FORMAT"_s},       {u"number-position"_s, u"P"_s},
        {u"first-number"_s, u"N"_s},       {u"skip-first"_s, u"N"_s},
        {u"bates"_s, u"PREFIX"_s},         {u"bates-digits"_s, u"N"_s},
        {u"bates-start"_s, u"N"_s},        {u"watermark"_s, u"TEXT"_s},
        {u"watermark-image"_s, u"FILE"_s}, {u"watermark-opacity"_s, u"X"_s},
        {u"watermark-angle"_s, u"DEG"_s},  {u"watermark-tiled"_s, QString()},
        {u"font-size"_s, u"PT"_s}};
    for (const auto& [name, value] : options)
        m_options.append(QCommandLineOption(name, QString(), value));
}

QString StampOptions::firstSet(const QCommandLineParser& parser) const
{
    for (const QCommandLineOption& option : m_options) {
        if (parser.isSet(option))
            return option.names().first();
    }
    return QString();
}

QString StampOptions::read(const QCommandLineParser& parser, JobRequest& request) const
{
    const auto value = [&](Option option) {
        return parser.value(m_options.at(option));
    };
    const auto isSet = [&](Option option) {
        return parser.isSet(m_options.at(option));
    };
    bool valid = true;
    const auto number = [&](Option option, double fallback) {
        if (!isSet(option))
            return fallback;
        bool ok = false;
        const double read = value(option).toDouble(&ok);
        valid = valid && ok && std::isfinite(read);
        return read;
    };
    request.numberFormat = value(Numbers);
    if (isSet(NumberPosition))
        request.numberPosition = value(NumberPosition);
    request.firstNumber = int(number(FirstNumber, 1));
    request.skipFirst = int(number(SkipFirst, 0));
    request.batesPrefix = value(Bates);
    request.batesDigits = isSet(Bates) || isSet(BatesDigits) ? int(number(BatesDigits, 6)) : 0;
    request.batesStart = qint64(number(BatesStart, 1));
    request.watermarkText = value(Watermark);
    if (isSet(WatermarkImage))
        request.watermarkImage = QDir(value(WatermarkImage)).absolutePath();
    request.watermarkOpacity = number(WatermarkOpacity, request.watermarkOpacity);
    request.watermarkAngle = number(WatermarkAngle, request.watermarkAngle);
    request.watermarkTiled = isSet(WatermarkTiled);
    request.fontSize = number(FontSize, request.fontSize);
    if (!valid)
        return u"数值选项无效 / a number option is not a valid number"_s;
    if (request.numberFormat.isEmpty() && request.batesDigits == 0 &&
        request.watermarkText.isEmpty() && request.watermarkImage.isEmpty())
        return u"请至少给出 --numbers、--bates、--watermark 或 --watermark-image / name at least "
               u"one of them"_s;
    if (!request.numberFormat.isEmpty() && !request.numberFormat.contains(u"{n}"_s))
        return u"页码格式需包含 {n} / --numbers must hold {n}"_s;
    return QString();
}

QList<qint64> batesStarts(const QStringList& inputs, const QString& password, qint64 start)
{
    QList<qint64> starts;
    for (const QString& input : inputs) {
        starts << start;
        try {
            start += read(input, password).pageCount();
        } catch (const std::exception&) {
            // Its job fails and says why; the numbers go on without it.
        }
    }
    return starts;
}

} // namespace batch
