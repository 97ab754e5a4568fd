#include "protocol/request.h"

#include "protocol/catalogue.h"
#include "protocol/protocol.h"

#include <QFile>
#include <QJsonArray>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// Bytes as a JSON number, 0 when missing; anything else (a string, a
// fraction, a negative number) reads as -1, which the job refuses.
qint64 byteCountMember(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return 0;
    const double number = value.toDouble(-1);
    if (value.isDouble() && number >= 0 && number <= 1e15 && number == std::floor(number))
        return qint64(number);
    return -1;
}

double doubleMember(const QJsonObject& object, const QString& key, double fallback)
{
    const QJsonValue value = object.value(key);
    return value.isDouble() ? value.toDouble() : fallback;
}

} // namespace

bool oneJobForAll(const JobRequest& request)
{
    if (!request.operation)
        return false;
    return request.operation->kind == OperationKind::Merge ||
           (request.operation->kind == OperationKind::ImagesToPdf && !request.oneFile.isEmpty());
}

JobRequest parseRequest(const QJsonObject& object)
{
    const JobRequest defaults;
    JobRequest request;
    request.operation = findOperation(stringMember(object, u"operation"_s));
    request.inputs = stringListMember(object, u"inputs"_s);
    request.output = stringMember(object, u"output"_s);
    request.password = stringMember(object, u"password"_s);
    request.passwords = stringListMember(object, u"passwords"_s);
    request.pages = stringMember(object, u"pages"_s);
    request.group = intMember(object, u"group"_s, defaults.group);
    request.degrees = intMember(object, u"degrees"_s, defaults.degrees);
    request.newPassword = stringMember(object, u"newPassword"_s);
    request.ocr.language = stringMember(object, u"ocrLanguage"_s, defaults.ocr.language);
    request.ocr.dpi = intMember(object, u"ocrDpi"_s, defaults.ocr.dpi);
    request.ocr.models = stringMember(object, u"ocrModels"_s);
    request.ocr.skipText = boolMember(object, u"ocrSkipText"_s, defaults.ocr.skipText);
    request.ocr.output = stringMember(object, u"ocrOutput"_s, defaults.ocr.output);
    request.compressLevel = stringMember(object, u"compressLevel"_s, defaults.compressLevel);
    request.outputName = stringMember(object, u"outputName"_s);
    request.sequence = intMember(object, u"sequence"_s, defaults.sequence);
    request.targetSize = byteCountMember(object, u"targetSize"_s);
    request.splitMode = stringMember(object, u"splitMode"_s, defaults.splitMode);
    request.level = intMember(object, u"level"_s, defaults.level);
    request.maxSize = byteCountMember(object, u"maxSize"_s);
    request.keepSeparators = boolMember(object, u"keepSeparators"_s, defaults.keepSeparators);
    request.blankThreshold = doubleMember(object, u"blankThreshold"_s, defaults.blankThreshold);
    request.oneFile = stringMember(object, u"oneFile"_s);
    request.fitA4 = boolMember(object, u"fitA4"_s, defaults.fitA4);
    request.recognize = boolMember(object, u"recognize"_s, defaults.recognize);
    request.numberFormat = stringMember(object, u"numberFormat"_s);
    request.numberPosition = stringMember(object, u"numberPosition"_s, defaults.numberPosition);
    request.numberMargin = doubleMember(object, u"numberMargin"_s, defaults.numberMargin);
    request.firstNumber = intMember(object, u"firstNumber"_s, defaults.firstNumber);
    request.skipFirst = intMember(object, u"skipFirst"_s, defaults.skipFirst);
    request.fontSize = doubleMember(object, u"fontSize"_s, defaults.fontSize);
    request.batesPrefix = stringMember(object, u"batesPrefix"_s);
    request.batesDigits = intMember(object, u"batesDigits"_s, defaults.batesDigits);
    request.batesStart = qint64(doubleMember(object, u"batesStart"_s, double(defaults.batesStart)));
    request.watermarkText = stringMember(object, u"watermarkText"_s);
    request.watermarkImage = stringMember(object, u"watermarkImage"_s);
    request.watermarkSize = doubleMember(object, u"watermarkSize"_s, defaults.watermarkSize);
    request.watermarkAngle = doubleMember(object, u"watermarkAngle"_s, defaults.watermarkAngle);
    request.watermarkOpacity =
        doubleMember(object, u"watermarkOpacity"_s, defaults.watermarkOpacity);
    request.watermarkColor = stringMember(object, u"watermarkColor"_s, defaults.watermarkColor);
    request.watermarkTiled = boolMember(object, u"watermarkTiled"_s, defaults.watermarkTiled);
    request.watermarkBehind = boolMember(object, u"watermarkBehind"_s, defaults.watermarkBehind);
    request.watermarkScale = doubleMember(object, u"watermarkScale"_s, defaults.watermarkScale);
    request.watermarkImagePosition =
        stringMember(object, u"watermarkImagePosition"_s, defaults.watermarkImagePosition);
    request.imageFormat = stringMember(object, u"imageFormat"_s, defaults.imageFormat);
    request.imageDpi = intMember(object, u"imageDpi"_s, defaults.imageDpi);
    request.imageQuality = intMember(object, u"imageQuality"_s, defaults.imageQuality);
    request.imageGrey = boolMember(object, u"imageGrey"_s, defaults.imageGrey);
    return request;
}

QJsonObject toJson(const JobRequest& request)
{
    return QJsonObject{
        {u"operation"_s, request.operation ? request.operation->id : QString()},
        {u"inputs"_s, QJsonArray::fromStringList(request.inputs)},
        {u"output"_s, request.output},
        {u"password"_s, request.password},
        {u"passwords"_s, QJsonArray::fromStringList(request.passwords)},
        {u"pages"_s, request.pages},
        {u"group"_s, request.group},
        {u"degrees"_s, request.degrees},
        {u"newPassword"_s, request.newPassword},
        {u"ocrLanguage"_s, request.ocr.language},
        {u"ocrDpi"_s, request.ocr.dpi},
        {u"ocrModels"_s, request.ocr.models},
        {u"ocrSkipText"_s, request.ocr.skipText},
        {u"ocrOutput"_s, request.ocr.output},
        {u"compressLevel"_s, request.compressLevel},
        {u"targetSize"_s, double(request.targetSize)},
        {u"outputName"_s, request.outputName},
        {u"sequence"_s, request.sequence},
        {u"splitMode"_s, request.splitMode},
        {u"level"_s, request.level},
        {u"maxSize"_s, double(request.maxSize)},
        {u"keepSeparators"_s, request.keepSeparators},
        {u"blankThreshold"_s, request.blankThreshold},
        {u"oneFile"_s, request.oneFile},
        {u"fitA4"_s, request.fitA4},
        {u"recognize"_s, request.recognize},
        {u"numberFormat"_s, request.numberFormat},
        {u"numberPosition"_s, request.numberPosition},
        {u"numberMargin"_s, request.numberMargin},
        {u"firstNumber"_s, request.firstNumber},
        {u"skipFirst"_s, request.skipFirst},
        {u"fontSize"_s, request.fontSize},
        {u"batesPrefix"_s, request.batesPrefix},
        {u"batesDigits"_s, request.batesDigits},
        {u"batesStart"_s, double(request.batesStart)},
        {u"watermarkText"_s, request.watermarkText},
        {u"watermarkImage"_s, request.watermarkImage},
        {u"watermarkSize"_s, request.watermarkSize},
        {u"watermarkAngle"_s, request.watermarkAngle},
        {u"watermarkOpacity"_s, request.watermarkOpacity},
        {u"watermarkColor"_s, request.watermarkColor},
        {u"watermarkTiled"_s, request.watermarkTiled},
        {u"watermarkBehind"_s, request.watermarkBehind},
        {u"watermarkScale"_s, request.watermarkScale},
        {u"watermarkImagePosition"_s, request.watermarkImagePosition},
        {u"imageFormat"_s, request.imageFormat},
        {u"imageDpi"_s, request.imageDpi},
        {u"imageQuality"_s, request.imageQuality},
        {u"imageGrey"_s, request.imageGrey},
    };
}

int laneRoom()
{
    qint64 lanes = std::max(1, QThread::idealThreadCount());
    QFile meminfo(u"/proc/meminfo"_s);
    if (meminfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : meminfo.readAll().split('\n')) {
            if (!line.startsWith("MemAvailable:"))
                continue;
            const qint64 available = line.mid(13).trimmed().split(' ').value(0).toLongLong() * 1024;
            if (available > 0)
                lanes = std::min(lanes, std::max<qint64>(1, available / 2 / laneBytes));
        }
    }
    return int(lanes);
}

int grantedLanes()
{
    int lanes = laneRoom();
    for (const char* variable : {"QPB_LANES", "QPB_OCR_LANES"}) {
        bool set = false;
        const int granted = qEnvironmentVariableIntValue(variable, &set);
        if (set && granted >= 1) {
            lanes = std::min(lanes, granted);
            break;
        }
    }
    return lanes;
}

namespace {

// A page range as a Chinese input method types it, in ASCII: full-width
// digits, the full-width and ideographic commas, and the dashes and tildes
// people put between two pages. One character for one, so that a part keeps
// its place in the text as written.
QString asciiRange(const QString& text)
{
    QString ascii = text;
    for (QChar& c : ascii) {
        const char16_t u = c.unicode();
        if (u >= u'０' && u <= u'９')
            c = QChar(u'0' + (u - u'０'));
        else if (u == u'，' || u == u'、' || u == u'､')
            c = u',';
        else if (u == u'－' || u == u'—' || u == u'–' || u == u'～' || u == u'~' || u == u'−')
            c = u'-';
        else if (u == u'\u3000')
            c = u' ';
    }
    return ascii;
}

} // namespace

PageSpans parsePageSpans(const QString& text)
{
    PageSpans parsed;
    if (text.trimmed().isEmpty())
        return parsed;
    if (text.size() > 4096) {
        parsed.tooLong = true;
        return parsed;
    }
    // "5" or "2-4", and open at either end: "5-" to the last page, "-3" from the first.
    static const QRegularExpression pattern(u"^([0-9]*)\\s*(-)?\\s*([0-9]*)$"_s);
    // The text as typed is cut where its ASCII form has commas.
    const QString ascii = asciiRange(text);
    for (qsizetype start = 0; start <= ascii.size();) {
        qsizetype end = ascii.indexOf(u',', start);
        end = end < 0 ? ascii.size() : end;
        const QString written = text.mid(start, end - start);
        const QRegularExpressionMatch match =
            pattern.match(ascii.mid(start, end - start).trimmed());
        start = end + 1;
        const bool range = match.hasMatch() && match.capturedLength(2) > 0;
        const QString firstText = match.captured(1);
        const QString lastText = match.captured(3);
        bool firstOk = range && firstText.isEmpty();
        bool lastOk = range && lastText.isEmpty();
        PageSpan span;
        if (match.hasMatch() && !(firstText.isEmpty() && lastText.isEmpty()) &&
            (range || lastText.isEmpty())) {
            span.first = firstText.isEmpty() ? 1 : firstText.toInt(&firstOk, 10);
            if (!range) {
                span.last = span.first;
                lastOk = firstOk;
            } else if (lastText.isEmpty()) {
                span.last = PageSpan::toTheEnd;
            } else {
                span.last = lastText.toInt(&lastOk, 10);
            }
        }
        const bool ordered = span.last == PageSpan::toTheEnd || span.last >= span.first;
        if (!firstOk || !lastOk || span.first < 1 || !ordered) {
            parsed.badPart = written;
            return parsed;
        }
        span.written = written;
        parsed.spans.append(span);
    }
    return parsed;
}

QString pageRangeSyntaxMessage(const PageSpans& parsed)
{
    if (parsed.tooLong)
        return u"页码范围过长。"_s;
    if (parsed.badPart)
        return u"页码无效：%1。请输入从 1 开始的页码，例如 1-3,5。"_s.arg(*parsed.badPart);
    return QString();
}

QString outputNameProblem(const QString& pattern)
{
    // What no file name may hold on Windows, and so on no system we write to.
    static const QRegularExpression forbidden(u"[<>:\"/\\\\|?*\\x00-\\x1f]"_s);
    if (pattern.contains(forbidden))
        return u"文件名不能包含 \\ / : * ? \" < > | 等字符。"_s;
    static const QRegularExpression placeholder(u"\\{([^}]*)\\}"_s);
    for (const QRegularExpressionMatch& match : placeholder.globalMatch(pattern)) {
        const QString key = match.captured(1);
        if (key != u"name"_s && key != u"op"_s && key != u"n"_s)
            return u"不认识的占位符 {%1}：可用 {name}（原文件名）、{op}（操作）、{n}（序号）。"_s
                .arg(key);
    }
    const QString sample = expandOutputName(pattern, u"x"_s, u"x"_s, 1);
    if (!pattern.isEmpty() && sample.trimmed().isEmpty())
        return u"请填写文件名。"_s;
    // Names Windows keeps for its devices, whatever follows the first dot.
    static const QRegularExpression reserved(u"^(con|prn|aux|nul|com[1-9]|lpt[1-9])$"_s,
                                             QRegularExpression::CaseInsensitiveOption);
    if (reserved.match(sample.section(u'.', 0, 0).trimmed()).hasMatch())
        return u"“%1”是系统保留的名称，请换一个文件名。"_s.arg(sample);
    return {};
}

QString expandOutputName(const QString& pattern, const QString& name, const QString& op,
                         int sequence)
{
    // One pass: a source named "报告{op}" keeps its braces.
    static const QRegularExpression placeholder(u"\\{(name|op|n)\\}"_s);
    const QString written = pattern.isEmpty() ? u"{name}-{op}"_s : pattern;
    QString expanded;
    qsizetype from = 0;
    for (const QRegularExpressionMatch& match : placeholder.globalMatch(written)) {
        expanded += written.mid(from, match.capturedStart() - from);
        const QString key = match.captured(1);
        expanded += key == u"name"_s ? name : key == u"op"_s ? op : QString::number(sequence);
        from = match.capturedEnd();
    }
    expanded += written.mid(from);
    // Windows drops a name's trailing dots and spaces: say it as it will be.
    while (expanded.endsWith(u'.') || expanded.endsWith(u' '))
        expanded.chop(1);
    return expanded;
}

QString newPasswordProblem(const QString& password, const std::optional<QString>& confirmation)
{
    if (password.isEmpty())
        return u"请填写新密码。"_s;
    if (confirmation && *confirmation != password)
        return u"两次输入的新密码不一致，请重新输入。"_s;
    // 127 bytes of UTF-8: an ASCII letter takes one, a Chinese character three.
    if (password.toUtf8().size() > maxNewPasswordBytes)
        return u"密码太长：最多 127 个英文字母或 42 个汉字。"_s;
    return QString();
}

} // namespace batch
