#include "protocol/protocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>

#include <cmath>
#include <limits>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace batch {

void fail(const QString& message)
{
    throw std::runtime_error(message.toStdString());
}

void skip(const QString& reason)
{
    throw NothingToDo(reason.toStdString());
}

QString explained(const QString& sentence, const std::exception& error)
{
    return sentence + u'\n' + QString::fromUtf8(error.what());
}

QString damageReason(const QString& libraryText)
{
    struct Known
    {
        const char16_t* clue;
        const char16_t* reason;
    };
    // QPDF's most common words for damage, most specific first.
    static const Known known[] = {
        {u"startxref", u"文件不完整或已损坏：找不到文件末尾的交叉引用表，可能未下载或复制完整"},
        {u"PDF header", u"文件不是有效的 PDF：缺少 PDF 文件头"},
        {u"not a PDF", u"文件不是有效的 PDF"},
        {u"unexpected EOF", u"文件在中途结束，可能未下载或复制完整"},
        {u"premature end", u"文件在中途结束，可能未下载或复制完整"},
        {u"loop", u"页面结构存在循环引用，文件已损坏"},
        {u"xref", u"文件的交叉引用表已损坏"},
        {u"trailer", u"文件的尾部信息已损坏"},
        {u"encrypt", u"文件的加密信息已损坏，无法解密"},
        {u"decrypt", u"文件的加密信息已损坏，无法解密"},
        {u"stream", u"文件中的数据流已损坏"},
        {u"object", u"文件中的对象已损坏"},
    };
    for (const Known& entry : known) {
        if (libraryText.contains(QStringView(entry.clue), Qt::CaseInsensitive))
            return QString::fromUtf16(entry.reason);
    }
    return u"文件已损坏或格式不受支持"_s;
}

QString userLine(const QString& message)
{
    return message.section(u'\n', 0, 0);
}

void failExplained(const QString& sentence, const std::exception& error)
{
    fail(explained(sentence, error));
}

std::optional<qint64> parseByteSize(const QString& text)
{
    // "2M" as people type it, as well as "2MB".
    static const QRegularExpression size(u"^\\s*(\\d+(?:\\.\\d+)?)\\s*(B|KB?|MB?|GB?)?\\s*$"_s,
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = size.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QString unitText = match.captured(2).toUpper();
    const QChar unit = unitText.isEmpty() ? QChar() : unitText.front();
    const double scale = unit == u'K'   ? 1024.0
                         : unit == u'M' ? 1024.0 * 1024
                         : unit == u'G' ? 1024.0 * 1024 * 1024
                                        : 1.0;
    const double bytes = match.captured(1).toDouble() * scale;
    if (bytes > 1024.0 * 1024 * 1024 * 1024)
        return std::nullopt;
    return qint64(std::llround(bytes));
}

QString formatSize(qint64 bytes)
{
    if (bytes < 1024)
        return u"%1 字节"_s.arg(bytes);
    if (bytes < 1024 * 1024)
        return u"%1 KB"_s.arg(qRound64(double(bytes) / 1024.0));
    const bool giga = bytes >= 1024LL * 1024 * 1024;
    const double value = double(bytes) / (giga ? 1024.0 * 1024 * 1024 : 1024.0 * 1024);
    return QString::number(value, 'f', 1) + (giga ? u" GB"_s : u" MB"_s);
}

QString stringMember(const QJsonObject& object, const QString& key, const QString& fallback)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : fallback;
}

int intMember(const QJsonObject& object, const QString& key, int fallback)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number ||
        number < double(std::numeric_limits<int>::min()) ||
        number > double(std::numeric_limits<int>::max()))
        return fallback;
    return static_cast<int>(number);
}

bool boolMember(const QJsonObject& object, const QString& key, bool fallback)
{
    const QJsonValue value = object.value(key);
    return value.isBool() ? value.toBool() : fallback;
}

QStringList stringListMember(const QJsonObject& object, const QString& key)
{
    QStringList list;
    const QJsonValue value = object.value(key);
    if (!value.isArray())
        return list;
    for (const QJsonValue& element : value.toArray())
        list.append(element.isString() ? element.toString() : QString());
    return list;
}

QJsonObject successResult(const QString& output, int files, const QString& note, bool review)
{
    QJsonObject result{
        {u"ok"_s, true}, {u"output"_s, output}, {u"files"_s, files}, {u"note"_s, note}};
    if (!review)
        result.insert(u"review"_s, false);
    return result;
}

QJsonObject failureResult(const QString& error)
{
    return QJsonObject{{u"ok"_s, false}, {u"error"_s, error}};
}

QJsonObject skippedResult(const QString& reason)
{
    return QJsonObject{{u"ok"_s, false}, {u"skipped"_s, true}, {u"error"_s, reason}};
}

QJsonObject progressObject(int completed, int total, const QString& message)
{
    QJsonObject progress{
        {u"completed"_s, completed}, {u"ocrProgress"_s, true}, {u"total"_s, total}};
    if (!message.isEmpty())
        progress.insert(u"message"_s, message);
    return progress;
}

QByteArray toLine(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

bool parseObjectLine(const QByteArray& line, QJsonObject& object)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    object = document.object();
    return true;
}

} // namespace batch
