// The report of a batch, as JSON for programs and as CSV for office use.
#include "runner/sources.h"

#include "protocol/catalogue.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

struct Setting
{
    QString key;   // as in a request
    QString label; // as the window names it
    QJsonValue value;
};

// What shaped the results, for the operation that ran; passwords never.
QList<Setting> settingsOf(const JobRequest& request)
{
    QList<Setting> settings{{u"output"_s, u"输出位置"_s, request.output}};
    const OperationKind kind = request.operation ? request.operation->kind : OperationKind::Merge;
    if (kind == OperationKind::Extract || kind == OperationKind::Rotate ||
        kind == OperationKind::PdfToImages)
        settings.append({u"pages"_s, u"页码范围"_s, request.pages});
    if (kind == OperationKind::Rotate)
        settings.append({u"degrees"_s, u"旋转角度"_s, request.degrees});
    if (kind == OperationKind::Split) {
        settings.append({u"splitMode"_s, u"拆分方式"_s, request.splitMode});
        if (request.splitMode == u"bookmarks"_s)
            settings.append({u"level"_s, u"书签级别"_s, request.level});
        else if (request.splitMode == u"size"_s)
            settings.append({u"maxSize"_s, u"每份最大（字节）"_s, double(request.maxSize)});
        else if (request.splitMode == u"blank"_s) {
            settings.append({u"blankThreshold"_s, u"空白阈值（%）"_s, request.blankThreshold});
            settings.append({u"keepSeparators"_s, u"保留分隔页"_s, request.keepSeparators});
        } else {
            settings.append({u"group"_s, u"每份页数"_s, request.group});
            settings.append({u"pages"_s, u"在这些页后拆分"_s, request.pages});
        }
    }
    if (kind == OperationKind::Stamp) {
        if (!request.numberFormat.isEmpty()) {
            settings.append({u"numberFormat"_s, u"页码格式"_s, request.numberFormat});
            settings.append({u"numberPosition"_s, u"页码位置"_s, request.numberPosition});
            settings.append({u"firstNumber"_s, u"起始页码"_s, request.firstNumber});
            settings.append({u"skipFirst"_s, u"不编号的前几页"_s, request.skipFirst});
        }
        if (request.batesDigits > 0) {
            settings.append({u"batesPrefix"_s, u"Bates 前缀"_s, request.batesPrefix});
            settings.append({u"batesDigits"_s, u"Bates 位数"_s, request.batesDigits});
        }
        if (!request.watermarkText.isEmpty())
            settings.append({u"watermarkText"_s, u"文字水印"_s, request.watermarkText});
        if (!request.watermarkImage.isEmpty())
            settings.append({u"watermarkImage"_s, u"图片水印"_s, request.watermarkImage});
        if (!request.watermarkText.isEmpty() || !request.watermarkImage.isEmpty())
            settings.append({u"watermarkOpacity"_s, u"水印不透明度"_s, request.watermarkOpacity});
    }
    if (kind == OperationKind::ImagesToPdf) {
        settings.append({u"oneFile"_s, u"合并为一个 PDF"_s, request.oneFile});
        settings.append({u"fitA4"_s, u"适合 A4"_s, request.fitA4});
        settings.append({u"recognize"_s, u"识别文字"_s, request.recognize});
        if (request.recognize)
            settings.append({u"ocrLanguage"_s, u"识别语言"_s, request.ocr.language});
    }
    if (kind == OperationKind::PdfToImages) {
        settings.append({u"imageFormat"_s, u"图片格式"_s, request.imageFormat});
        settings.append({u"imageDpi"_s, u"分辨率"_s, request.imageDpi});
        if (request.imageFormat == u"jpg"_s)
            settings.append({u"imageQuality"_s, u"JPEG 质量"_s, request.imageQuality});
        settings.append({u"imageGrey"_s, u"灰度"_s, request.imageGrey});
    }
    // How results were named, where the user chose.
    if (!request.outputName.isEmpty())
        settings.append({u"outputName"_s, u"命名"_s, request.outputName});
    if (kind == OperationKind::Ocr) {
        settings.append({u"ocrLanguage"_s, u"识别语言"_s, request.ocr.language});
        settings.append({u"ocrDpi"_s, u"清晰度"_s, request.ocr.dpi});
        settings.append({u"ocrOutput"_s, u"输出格式"_s, request.ocr.output});
        settings.append({u"ocrSkipText"_s, u"保留已有可选文字页"_s, request.ocr.skipText});
    }
    if (kind == OperationKind::Compress) {
        settings.append({u"compressLevel"_s, u"压缩级别"_s, request.compressLevel});
        settings.append({u"targetSize"_s, u"目标大小（字节）"_s, double(request.targetSize)});
    }
    return settings;
}

// One CSV field. A field a spreadsheet would take for a formula (a file
// named "=1+2.pdf") is written as text.
QString csvField(QString text)
{
    if (!text.isEmpty() && QStringView(u"=+-@\t\r").contains(text.front()))
        text.prepend(u'\'');
    if (text.contains(QRegularExpression(u"[\",\r\n]"_s)))
        text = u'"' + text.replace(u'"', u"\"\""_s) + u'"';
    return text;
}

QString csvLine(const QStringList& fields)
{
    QStringList written;
    for (const QString& field : fields)
        written.append(csvField(field));
    return written.join(u',') + u"\r\n"_s;
}

QString settingText(const QJsonValue& value)
{
    if (value.isBool())
        return value.toBool() ? u"是"_s : u"否"_s;
    return value.isDouble() ? QString::number(value.toDouble(), 'g', 15) : value.toString();
}

} // namespace

QString reportStatus(const QString& state)
{
    // Every state the window and the command line give an entry.
    static const QHash<QString, QString> statuses{
        {u"处理完成"_s, u"ok"_s},     {u"完成，请核对"_s, u"review"_s},
        {u"已跳过"_s, u"skipped"_s},  {u"处理失败"_s, u"failed"_s},
        {u"未添加"_s, u"failed"_s},   {u"未处理"_s, u"failed"_s},
        {u"已停止"_s, u"stopped"_s},  {u"等待处理"_s, u"waiting"_s},
        {u"未开始"_s, u"waiting"_s},  {u"正在处理"_s, u"waiting"_s},
        {u"正在合并"_s, u"waiting"_s}};
    return statuses.value(state, u"failed"_s);
}

QByteArray batchReport(const JobRequest& request, const QList<ReportEntry>& entries,
                       ReportFormat format)
{
    const QString operation = request.operation ? request.operation->id : QString();
    const QDateTime now = QDateTime::currentDateTime();
    const QString createdAt = now.toUTC().toString(Qt::ISODate);
    const QList<Setting> settings = settingsOf(request);
    if (format == ReportFormat::Csv) {
        QString text =
            csvLine({u"操作"_s, request.operation ? request.operation->title : QString()});
        // Local time, as a spreadsheet user reads it, with its offset from UTC.
        text +=
            csvLine({u"时间"_s, now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate)});
        for (const Setting& setting : settings)
            text += csvLine({setting.label, settingText(setting.value)});
        text += u"\r\n"_s + csvLine({u"文件"_s, u"状态"_s, u"结果"_s, u"说明"_s, u"status"_s});
        for (const ReportEntry& entry : entries)
            text += csvLine(
                {entry.input, entry.state, entry.output, entry.detail, reportStatus(entry.state)});
        return "\xEF\xBB\xBF" + text.toUtf8();
    }
    QJsonArray items;
    for (const ReportEntry& entry : entries) {
        items.append(QJsonObject{{u"input"_s, entry.input},
                                 {u"state"_s, entry.state},
                                 {u"status"_s, reportStatus(entry.state)},
                                 {u"output"_s, entry.output},
                                 {u"detail"_s, entry.detail}});
    }
    QJsonObject shaped;
    for (const Setting& setting : settings)
        shaped.insert(setting.key, setting.value);
    const QJsonObject report{{u"product"_s, u"QuorvinPDFBatch"_s},
                             {u"version"_s, u"0.1.0"_s},
                             {u"operation"_s, operation},
                             {u"createdAt"_s, createdAt},
                             {u"settings"_s, shaped},
                             {u"items"_s, items}};
    return QJsonDocument(report).toJson(QJsonDocument::Indented);
}

} // namespace batch
