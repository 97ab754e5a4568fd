#include "app/batchcommand.h"

#include "app/console.h"
#include "app/stampoptions.h"

#include "engine/pdfdocument.h"
#include "engine/platformfs.h"
#include "protocol/catalogue.h"
#include "protocol/ocroptions.h"
#include "protocol/protocol.h"
#include "protocol/request.h"
#include "runner/batchrunner.h"
#include "runner/sources.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr int usageError = 2;
const char* const passwordVariable = "QPB_PASSWORD";
const char* const newPasswordVariable = "QPB_NEW_PASSWORD";

void say(FILE* stream, const QString& text)
{
    console::write(stream, text);
}

int usage(const QString& message)
{
    say(stderr, message + u"\n请运行 / see: quorvin-pdf-batch batch --help\n"_s);
    return usageError;
}

const QString overallHelp =
    u"用法 / Usage: quorvin-pdf-batch batch 操作 [选项] --output 文件夹 文件或文件夹…\n"
    "       quorvin-pdf-batch batch OPERATION [OPTIONS] --output DIR FILE-OR-FOLDER…\n\n"
    "对每个文件执行同一操作，结果另存到输出文件夹，从不修改或覆盖任何文件。\n"
    "Applies one operation to every file; results go to the output folder, and nothing is\n"
    "ever changed or replaced.\n\n"
    "操作 / Operations:\n"
    "  merge     合并 PDF / merge in the order given\n"
    "  split     批量拆分 / split into parts (--mode, --group, --level, --max-size)\n"
    "  extract   提取页面 / extract pages (--pages)\n"
    "  rotate    批量旋转 / rotate pages (--degrees, --pages)\n"
    "  ocr       批量文字识别 / recognise text (--language, --dpi, --models, --output-kind)\n"
    "  optimize  无损优化 / lossless optimisation\n"
    "  compress  压缩 PDF / make images smaller (--level, --target-size)\n"
    "  encrypt   批量加密 / AES-256 with a new open password (--new-password-file)\n"
    "  decrypt   移除密码 / remove the password (owner password: --password-file)\n"
    "  stamp     页码与水印 / page numbers, Bates numbers, watermarks (--numbers, --bates,\n"
    "            --watermark, --watermark-image)\n"
    "  images2pdf 图片转 PDF / pictures as PDF pages (--one-file, --fit-a4, --ocr)\n"
    "  pdf2images PDF 转图片 / pages as pictures (--format, --dpi, --quality, --grey)\n\n"
    "通用选项 / Common options:\n"
    "  --output DIR            输出文件夹 / output folder (required)\n"
    "  --jobs N                最多同时处理 N 个文件 / at most N files at once\n"
    "  --report FILE           保存 JSON 处理报告（不覆盖已有文件）/ write the JSON report\n"
    "  --password-file FILE    源文件密码（首行；打开密码即可，移除密码需所有者密码）/\n"
    "                          password of the sources (the open password will do;\n"
    "                          removing protection takes the owner password)\n"
    "  --name PATTERN          结果命名，默认 {name}-{op}；{name} 原文件名、{op} 操作、{n} 序号；\n"
    "                          合并时即文件名 / how results are named, a merge's file name\n"
    "  --help                  显示帮助；放在操作后显示该操作的帮助 / help, per operation too\n\n"
    "密码从不写在命令行上 / Passwords never go on the command line: they come from a file,\n"
    "from QPB_PASSWORD / QPB_NEW_PASSWORD (removed before any worker starts), or from a prompt\n"
    "on the terminal.\n\n"
    "退出状态 / Exit status: 0 全部成功 / all succeeded, 1 有文件未成功 / any did not,\n"
    "2 用法错误 / usage error. Ctrl-C: 不再开始新文件 / no new files; 再按一次立即结束 /\n"
    "twice: end the running ones, publishing nothing. SIGTERM: 立即结束 / ends them at once.\n"
    "Ctrl-Z: 连同正在处理的文件一起暂停 / stops the running files too.\n"_s;

QString operationHelp(const Operation& operation)
{
    QString text = u"用法 / Usage: quorvin-pdf-batch batch %1 [选项] --output 文件夹 "
                   u"文件或文件夹…\n\n%2：%3\n\n"
                   u"选项 / Options:\n"_s.arg(operation.id, operation.title, operation.description);
    switch (operation.kind) {
    case OperationKind::Extract:
        text += u"  --pages RANGE           页码范围，例如 1-3,5 / page range such as 1-3,5\n"_s;
        break;
    case OperationKind::Rotate:
        text +=
            u"  --pages RANGE           页码范围，留空为全部 / page range, all by default\n"
            u"  --degrees 90|180|270    顺时针追加旋转，默认 90 / clockwise turn, 90 by default\n"_s;
        break;
    case OperationKind::Split:
        text += u"  --mode M                "
                u"pages（按页数，默认）、bookmarks（按书签）、size（按大小）\n"
                u"                          或 blank（按空白页）/ how parts end\n"
                u"  --group N               每份页数，默认 1 / pages per part, 1 by default\n"
                u"  --pages RANGE           在这些页后拆分，如 3,7（代替 --group）/\n"
                u"                          end the parts after these pages instead\n"
                u"  --level N               按书签：第几级书签开始新的一份，默认 1 /\n"
                u"                          bookmarks: the outline level, 1 by default\n"
                u"  --max-size SIZE         按大小：每份最大，如 10MB / size: most per part\n"
                u"  --keep-separators       按空白页：保留分隔页 / blank: keep the separators\n"
                u"  --blank-threshold P     按空白页：墨迹低于页面 P% 即空白，默认 0.015 /\n"
                u"                          blank: ink below P per cent, 0.015 by default\n"_s;
        break;
    case OperationKind::Ocr:
        text += u"  --language L            chi_sim+eng（默认）、chi_tra+eng 或 eng\n"
                u"  --dpi 150|200|300       识别清晰度，默认 300 / resolution, 300 by default\n"
                u"  --models DIR            语言包文件夹 / tessdata folder\n"
                u"  --output-kind K         pdf（可搜索 PDF，默认）、docx 或 rebuilt\n"
                u"  --no-keep-text          已有文字的页面也识别 / recognise text pages too\n"_s;
        break;
    case OperationKind::Encrypt:
        text += u"  --new-password-file F   新打开密码（首行）/ the new open password\n"_s;
        break;
    case OperationKind::Merge:
        text += u"  --new-password-file F   合并结果的打开密码（首行），不给则不加密 /\n"
                u"                          an open password for the result, none by default\n"_s;
        break;
    case OperationKind::Compress:
        text +=
            u"  --level L               high（高质量，300 DPI）、standard（标准，200 DPI，默认）\n"
            u"                          或 small（最小，150 DPI）/ at most 300, 200, 150 DPI\n"
            u"  --target-size SIZE      每个结果的目标大小，如 2MB、2M、500KB；单位 "
            u"B、KB、MB、GB，\n"
            u"                          1 KB = 1024 字节 / each result's size limit, KB = 1024 B\n"_s;
        break;
    case OperationKind::Stamp:
        text += u"  --numbers FORMAT        页码格式，{n} 页码、{total} 总数，如 \"第 {n} 页\" /\n"
                u"                          page numbers, {n} and {total}\n"
                u"  --number-position P     top-left|top-center|top-right|bottom-left|\n"
                u"                          bottom-center（默认）|bottom-right\n"
                u"  --first-number N        起始页码，默认 1 / the first number\n"
                u"  --skip-first N          前 N 页不编号 / leave the first N pages unnumbered\n"
                u"  --bates PREFIX          Bates 编号前缀，按文件顺序连续 / Bates numbers\n"
                u"  --bates-digits N        位数，默认 6 / digits, 6 by default\n"
                u"  --bates-start N         起始编号，默认 1 / the first Bates number\n"
                u"  --watermark TEXT        文字水印 / a text watermark\n"
                u"  --watermark-image FILE  图片水印（PNG 或 JPEG）/ a picture watermark\n"
                u"  --watermark-opacity X   0.0–1.0，默认 0.3 / opacity\n"
                u"  --watermark-angle DEG   默认 45 / angle\n"
                u"  --watermark-tiled       平铺 / repeat over the page\n"
                u"  --font-size PT          页码字号，默认 10 / the numbers' size\n"_s;
        break;
    case OperationKind::ImagesToPdf:
        text += u"  --one-file NAME         按列表顺序合为一个 PDF / all pictures into one PDF\n"
                u"  --fit-a4                页面为 A4，图片居中 / A4 pages, the picture fitted\n"
                u"  --ocr                   识别文字，生成可搜索 PDF / recognise the text\n"
                u"  --ocr-language L        chi_sim+eng（默认）、chi_tra+eng 或 eng\n"
                u"  --models DIR            语言包文件夹 / tessdata folder\n"_s;
        break;
    case OperationKind::PdfToImages:
        text += u"  --format F              png（默认）、jpg 或 tif（多页）/ png by default\n"
                u"  --dpi N                 72–600，默认 150 / resolution, 150 by default\n"
                u"  --quality N             JPEG 质量 1–100，默认 90 / JPEG quality\n"
                u"  --grey                  灰度 / in grey\n"
                u"  --pages RANGE           页码范围，留空为全部 / page range, all by default\n"_s;
        break;
    case OperationKind::Optimize:
    case OperationKind::Decrypt:
        break;
    }
    text += u"  --output DIR, --jobs N, --report FILE, --password-file FILE, --name PATTERN\n"
            u"                          （见 / see --help）\n"_s;
    return text;
}

// The first line of `path`, without its line end.
std::optional<QString> firstLine(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

// Asked on the terminal without echo; nothing when there is no terminal.
std::optional<QString> prompt(const QString& question)
{
    return console::readHidden(question);
}

// From the file, then the environment, then the terminal; the variable is
// removed at once so that no worker inherits it.
std::optional<QString> password(const QString& file, const char* variable, const QString& question,
                                bool ask, bool& prompted)
{
    const QString fromEnvironment = qEnvironmentVariable(variable);
    const bool inEnvironment = qEnvironmentVariableIsSet(variable);
    qunsetenv(variable);
    prompted = false;
    if (!file.isEmpty())
        return firstLine(file);
    if (inEnvironment)
        return fromEnvironment;
    if (!ask)
        return QString();
    prompted = true;
    return prompt(question);
}

// Why no password came: the file named could not be read, or there was no
// file, no variable and no terminal to ask on.
QString missingPassword(const QString& file, const char* option, const char* variable)
{
    if (!file.isEmpty())
        return u"无法读取密码文件 / the password file cannot be read: "_s + file;
    return u"未提供密码：没有可以询问的终端，请用 --%1 或环境变量 %2 提供。/ no password was "
           u"given: use --%1 or %2."_s.arg(QLatin1StringView(option), QLatin1StringView(variable));
}

// Whether `folder` is, or can be made, a writable folder: its nearest
// existing ancestor is a writable folder.
bool creatable(const QString& folder)
{
    QFileInfo info(folder);
    while (!info.exists() && !info.isSymLink() && info.absolutePath() != info.absoluteFilePath())
        info = QFileInfo(info.absolutePath());
    return info.isDir() && info.isWritable();
}

// The report is published as results are: complete under a temporary name,
// then moved where nothing is. A name taken meanwhile is said, not replaced.
QString publishReport(const QString& path, const QByteArray& text)
{
    QString staged;
    {
        // Closed before the move: Windows moves no file that is still open.
        QTemporaryFile file(QFileInfo(path).absolutePath() + u"/.quorvin-report-XXXXXX"_s);
        if (!file.open())
            return u"报告保存失败：请检查输出权限和磁盘空间。"_s;
        staged = file.fileName();
        const bool written = file.write(text) == text.size() && file.flush();
        // Readable as the results beside it are, not only by its owner.
        console::giveUsualPermissions(file.handle());
        file.setAutoRemove(!written);
        if (!written)
            return u"报告保存失败：请检查输出权限和磁盘空间。"_s;
    }
    QString failure;
    try {
        if (!renameNoReplace(staged, path))
            failure = u"报告未保存：%1 已被占用，未覆盖。"_s.arg(QDir::toNativeSeparators(path));
    } catch (const std::exception& error) {
        failure = u"报告保存失败："_s + QString::fromUtf8(error.what());
    }
    if (!failure.isEmpty())
        QFile::remove(staged);
    return failure;
}

class BatchCommand : public QObject
{
public:
    int run(const QStringList& arguments, const QString& workerProgram);

private:
    int prepare(const QStringList& arguments);
    void onFinished(int chunkJob, const JobOutcome& outcome);
    void startNextChunk();
    void onChunkFinished();
    void showProgress(const QString& current = QString());
    void pollInterrupts();
    bool writeReport();
    // A usage error found once the files are known: the report still says
    // what became of each.
    int refuseBatch(const QString& message, int code);

    const Operation* m_operation = nullptr;
    QList<JobRequest> m_jobs;
    JobRequest m_settings; // what every job shares, for the report
    QList<QList<int>> m_entriesOfJob;
    QList<ReportEntry> m_entries;
    QString m_report;
    int m_maxJobs = 0;
    qsizetype m_chunkStart = 0;
    int m_finished = 0;
    int m_succeeded = 0;   // entries
    int m_skipped = 0;     // entries given twice, done once
    int m_nothingToDo = 0; // entries that needed nothing done
    bool m_terminal = false;
    BatchRunner m_runner;
    QTimer m_interruptPoll;
};

int BatchCommand::prepare(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption output(u"output"_s, QString(), u"DIR"_s);
    const QCommandLineOption pages(u"pages"_s, QString(), u"RANGE"_s);
    const QCommandLineOption group(u"group"_s, QString(), u"N"_s);
    const QCommandLineOption degrees(u"degrees"_s, QString(), u"DEGREES"_s);
    const QCommandLineOption language(u"language"_s, QString(), u"L"_s);
    const QCommandLineOption dpi(u"dpi"_s, QString(), u"DPI"_s);
    const QCommandLineOption models(u"models"_s, QString(), u"DIR"_s);
    const QCommandLineOption outputKind(u"output-kind"_s, QString(), u"K"_s);
    const QCommandLineOption noKeepText(u"no-keep-text"_s);
    const QCommandLineOption jobs(u"jobs"_s, QString(), u"N"_s);
    const QCommandLineOption report(u"report"_s, QString(), u"FILE"_s);
    const QCommandLineOption passwordFile(u"password-file"_s, QString(), u"FILE"_s);
    const QCommandLineOption newPasswordFile(u"new-password-file"_s, QString(), u"FILE"_s);
    const QCommandLineOption level(u"level"_s, QString(), u"L"_s);
    const QCommandLineOption targetSize(u"target-size"_s, QString(), u"SIZE"_s);
    const QCommandLineOption name(u"name"_s, QString(), u"PATTERN"_s);
    const QCommandLineOption mode(u"mode"_s, QString(), u"M"_s);
    const QCommandLineOption maxSize(u"max-size"_s, QString(), u"SIZE"_s);
    const QCommandLineOption keepSeparators(u"keep-separators"_s);
    const QCommandLineOption blankThreshold(u"blank-threshold"_s, QString(), u"P"_s);
    const QCommandLineOption format(u"format"_s, QString(), u"F"_s);
    const QCommandLineOption quality(u"quality"_s, QString(), u"N"_s);
    const QCommandLineOption grey(u"grey"_s);
    const QCommandLineOption oneFile(u"one-file"_s, QString(), u"NAME"_s);
    const QCommandLineOption fitA4(u"fit-a4"_s);
    const QCommandLineOption ocr(u"ocr"_s);
    const QCommandLineOption ocrLanguage(u"ocr-language"_s, QString(), u"L"_s);
    const QCommandLineOption help(u"help"_s);
    const StampOptions stampOptions;
    parser.addOptions(stampOptions.all());
    // clang-format off
    parser.addOptions({output, pages, group, degrees, language, dpi, models, outputKind,
                       noKeepText, level, targetSize, jobs, report, passwordFile,
                       newPasswordFile, name, mode, maxSize, keepSeparators, blankThreshold,
                       format, quality, grey, oneFile, fitA4, ocr, ocrLanguage, help});
    // clang-format on
    if (!parser.parse(QStringList{u"quorvin-pdf-batch"_s} + arguments))
        return usage(u"选项无效 / invalid option: "_s + parser.errorText());

    const QStringList positional = parser.positionalArguments();
    if (!positional.isEmpty())
        m_operation = findOperation(positional.first());
    if (parser.isSet(help)) {
        say(stdout, m_operation ? operationHelp(*m_operation) : overallHelp);
        return 0;
    }
    if (positional.isEmpty())
        return usage(u"请给出处理类型 / name an operation: merge split extract rotate ocr "
                     "optimize compress encrypt decrypt stamp images2pdf pdf2images"_s);
    if (!m_operation)
        return usage(u"未知处理类型。/ unknown operation: "_s + positional.first());
    const OperationKind kind = m_operation->kind;

    // Options that mean nothing for this operation are refused, not ignored.
    const QList<std::pair<const QCommandLineOption*, bool>> applies{
        {&pages, kind == OperationKind::Extract || kind == OperationKind::Rotate ||
                     kind == OperationKind::Split || kind == OperationKind::PdfToImages},
        {&group, kind == OperationKind::Split},
        {&degrees, kind == OperationKind::Rotate},
        {&language, kind == OperationKind::Ocr},
        {&dpi, kind == OperationKind::Ocr || kind == OperationKind::PdfToImages},
        {&format, kind == OperationKind::PdfToImages},
        {&quality, kind == OperationKind::PdfToImages},
        {&grey, kind == OperationKind::PdfToImages},
        {&models, kind == OperationKind::Ocr || kind == OperationKind::ImagesToPdf},
        {&oneFile, kind == OperationKind::ImagesToPdf},
        {&fitA4, kind == OperationKind::ImagesToPdf},
        {&ocr, kind == OperationKind::ImagesToPdf},
        {&ocrLanguage, kind == OperationKind::ImagesToPdf},
        {&outputKind, kind == OperationKind::Ocr},
        {&noKeepText, kind == OperationKind::Ocr},
        {&level, kind == OperationKind::Compress || kind == OperationKind::Split},
        {&mode, kind == OperationKind::Split},
        {&maxSize, kind == OperationKind::Split},
        {&keepSeparators, kind == OperationKind::Split},
        {&blankThreshold, kind == OperationKind::Split},
        {&targetSize, kind == OperationKind::Compress},
        {&newPasswordFile, kind == OperationKind::Encrypt || kind == OperationKind::Merge}};
    if (const QString set = stampOptions.firstSet(parser);
        !set.isEmpty() && kind != OperationKind::Stamp)
        return usage(u"--%1 不适用于 %2 / does not apply to %2"_s.arg(set, m_operation->id));
    for (const auto& [option, fits] : applies) {
        if (parser.isSet(*option) && !fits)
            return usage(u"--%1 不适用于 %2 / does not apply to %2"_s.arg(option->names().first(),
                                                                          m_operation->id));
    }

    JobRequest request;
    request.operation = m_operation;
    if (!parser.isSet(output))
        return usage(u"请用 --output 指定输出文件夹 / --output DIR is required"_s);
    request.output = QDir(parser.value(output)).absolutePath();
    // Created only once everything else is known to be right: a usage error
    // leaves no new folders behind.
    if (!creatable(request.output))
        return usage(
            u"输出位置无效：请选择可写的文件夹。/ the output folder cannot be written: "_s +
            request.output);

    const auto number = [&parser](const QCommandLineOption& option, int fallback,
                                  bool& valid) -> int {
        if (!parser.isSet(option))
            return fallback;
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        valid = valid && ok;
        return value;
    };
    bool valid = true;
    request.pages = parser.value(pages);
    request.group = number(group, 1, valid);
    request.degrees = number(degrees, 90, valid);
    request.ocr.dpi = number(dpi, 300, valid);
    m_maxJobs = number(jobs, 0, valid);
    if (!valid || request.group < 1 || request.group > maxPages || m_maxJobs < 0 ||
        (parser.isSet(jobs) && m_maxJobs < 1))
        return usage(u"数值选项无效 / a number option is not a valid number"_s);
    if (request.degrees != 90 && request.degrees != 180 && request.degrees != 270)
        return usage(u"旋转角度无效。/ --degrees takes 90, 180 or 270"_s);
    const QString rangeMessage = pageRangeSyntaxMessage(parsePageSpans(request.pages));
    if (!rangeMessage.isEmpty())
        return usage(rangeMessage);
    if (kind == OperationKind::Ocr) {
        request.ocr.language = parser.isSet(language) ? parser.value(language) : u"chi_sim+eng"_s;
        request.ocr.models = parser.isSet(models) ? QDir(parser.value(models)).absolutePath()
                                                  : initialModelsFolder();
        request.ocr.output = parser.isSet(outputKind) ? parser.value(outputKind) : u"pdf"_s;
        request.ocr.skipText = !parser.isSet(noKeepText);
        const QString message = validateOcrOptions(request.ocr);
        if (!message.isEmpty())
            return usage(message);
    }

    if (kind == OperationKind::Compress) {
        request.compressLevel = parser.isSet(level) ? parser.value(level) : u"standard"_s;
        if (compressionLevelStep(request.compressLevel) < 0)
            return usage(u"压缩级别无效。/ --level takes high, standard or small"_s);
        if (parser.isSet(targetSize)) {
            const std::optional<qint64> bytes = parseByteSize(parser.value(targetSize));
            if (!bytes)
                return usage(u"目标大小无效，例如 2MB 或 500KB。/ --target-size takes a size "
                             "such as 2MB or 500KB"_s);
            request.targetSize = *bytes;
        }
    }

    if (kind == OperationKind::Split) {
        request.splitMode = parser.isSet(mode) ? parser.value(mode) : u"pages"_s;
        if (!QStringList{u"pages"_s, u"bookmarks"_s, u"size"_s, u"blank"_s}.contains(
                request.splitMode))
            return usage(u"拆分方式无效。/ --mode takes pages, bookmarks, size or blank"_s);
        request.level = number(level, 1, valid);
        const std::optional<qint64> bytes = parseByteSize(parser.value(maxSize));
        request.maxSize = bytes.value_or(0);
        request.keepSeparators = parser.isSet(keepSeparators);
        bool threshold = true;
        if (parser.isSet(blankThreshold))
            request.blankThreshold = parser.value(blankThreshold).toDouble(&threshold);
        if (!valid || !threshold || request.level < 1 || request.level > 64 ||
            (parser.isSet(maxSize) && (!bytes || *bytes <= 0)))
            return usage(u"数值选项无效 / a number option is not a valid number"_s);
        if (request.splitMode == u"size"_s && request.maxSize <= 0)
            return usage(u"按大小拆分需要 --max-size，例如 10MB / --mode size takes --max-size"_s);
    }

    if (kind == OperationKind::Stamp) {
        if (const QString problem = stampOptions.read(parser, request); !problem.isEmpty())
            return usage(problem);
    }
    if (kind == OperationKind::ImagesToPdf) {
        request.oneFile = parser.value(oneFile);
        request.fitA4 = parser.isSet(fitA4);
        request.recognize = parser.isSet(ocr);
        request.ocr.language =
            parser.isSet(ocrLanguage) ? parser.value(ocrLanguage) : u"chi_sim+eng"_s;
        request.ocr.models = parser.isSet(models) ? QDir(parser.value(models)).absolutePath()
                                                  : initialModelsFolder();
        if (parser.isSet(oneFile) && !outputNameProblem(request.oneFile).isEmpty())
            return usage(outputNameProblem(request.oneFile));
        if (parser.isSet(ocrLanguage) && !parser.isSet(ocr))
            return usage(u"--ocr-language 需要 --ocr / --ocr-language goes with --ocr"_s);
        if (request.recognize) {
            const QString message = validateOcrOptions(request.ocr);
            if (!message.isEmpty())
                return usage(message);
        }
    }
    if (kind == OperationKind::PdfToImages) {
        request.imageFormat = parser.isSet(format) ? parser.value(format) : u"png"_s;
        request.imageDpi = number(dpi, 150, valid);
        request.imageQuality = number(quality, 90, valid);
        request.imageGrey = parser.isSet(grey);
        if (!QStringList{u"png"_s, u"jpg"_s, u"tif"_s}.contains(request.imageFormat))
            return usage(u"图片格式无效。/ --format takes png, jpg or tif"_s);
        if (!valid || request.imageDpi < 72 || request.imageDpi > 600 || request.imageQuality < 1 ||
            request.imageQuality > 100)
            return usage(u"数值选项无效：--dpi 为 72–600，--quality 为 1–100 / --dpi takes 72–600, "
                         u"--quality 1–100"_s);
    }

    request.outputName = parser.value(name);
    if (const QString problem = outputNameProblem(request.outputName); !problem.isEmpty())
        return usage(problem);

    bool prompted = false;
    const std::optional<QString> source =
        password(parser.value(passwordFile), passwordVariable,
                 kind == OperationKind::Decrypt ? u"源文件所有者密码："_s : u"源文件密码："_s,
                 kind == OperationKind::Decrypt, prompted);
    if (!source)
        return usage(
            missingPassword(parser.value(passwordFile), "password-file", passwordVariable));
    request.password = *source;
    const std::optional<QString> fresh =
        password(parser.value(newPasswordFile), newPasswordVariable, u"新打开密码："_s,
                 kind == OperationKind::Encrypt, prompted);
    if (kind == OperationKind::Encrypt) {
        if (!fresh)
            return usage(missingPassword(parser.value(newPasswordFile), "new-password-file",
                                         newPasswordVariable));
        // Only a password typed blind is asked twice.
        const std::optional<QString> again = prompted ? prompt(u"确认新密码："_s) : fresh;
        const QString problem = newPasswordProblem(*fresh, again.value_or(QString()));
        if (!problem.isEmpty())
            return usage(problem);
        request.newPassword = *fresh;
    } else if (kind == OperationKind::Merge && fresh && !fresh->isEmpty()) {
        // A merge's result is protected only when asked.
        const QString problem = newPasswordProblem(*fresh);
        if (!problem.isEmpty())
            return usage(problem);
        request.newPassword = *fresh;
    }

    if (parser.isSet(report)) {
        m_report = QFileInfo(parser.value(report)).absoluteFilePath();
        if (QFileInfo(m_report).exists() || QFileInfo(m_report).isSymLink())
            return usage(u"报告文件已存在，不会覆盖 / the report file exists: "_s + m_report);
        const QFileInfo folder(QFileInfo(m_report).absolutePath());
        if (!folder.isDir() || !folder.isWritable())
            return usage(u"报告所在的文件夹不存在或不可写 / the report's folder cannot be "
                         u"written: "_s +
                         folder.absoluteFilePath());
    }
    m_settings = request;

    // The files: as the window takes them, each refusal with its reason, but
    // any number of them; a file given twice is done once, and said so.
    QStringList inputs;
    QList<ReportEntry> refused;
    bool anyRefused = false;
    for (const Refusal& refusal :
         takeFiles(positional.mid(1), inputs, std::numeric_limits<qsizetype>::max(),
                   sourceKind(*m_operation))) {
        say(stderr,
            u"未添加 %1：%2\n"_s.arg(QDir::toNativeSeparators(refusal.path), refusal.reason));
        const bool twice = refusal.reason == u"已在列表中"_s;
        anyRefused = anyRefused || !twice;
        m_skipped += twice ? 1 : 0;
        refused.append({refusal.path, twice ? u"已跳过"_s : u"未添加"_s, QString(),
                        twice ? u"与列表中的另一项是同一文件，只处理一次"_s : refusal.reason});
    }
    m_entries = refused;
    for (const QString& input : std::as_const(inputs)) {
        if (!m_report.isEmpty() && sameFile(m_report, input))
            return usage(u"请选择独立的报告文件名。"_s);
    }
    // A merge is one document: a part missing would make it another one.
    if (kind == OperationKind::Merge && anyRefused) {
        QList<ReportEntry> untouched;
        for (const QString& input : std::as_const(inputs))
            untouched.append({input, u"未处理"_s, QString(), u"其他文件无法添加，合并未进行"_s});
        m_entries = untouched + m_entries;
        return refuseBatch(u"合并未进行：以上文件无法添加，未生成合并文档。/ nothing was merged: "
                           u"the files above cannot be added."_s,
                           1);
    }
    // Files given that none could be added are failures, as in a longer list;
    // a command without any file is a usage error.
    if (kind != OperationKind::Merge && inputs.isEmpty() && anyRefused)
        return refuseBatch(u"以上文件均未添加，未处理任何文件。/ none of the files above could "
                           u"be added."_s,
                           1);
    if (inputs.size() < (kind == OperationKind::Merge ? 2 : 1))
        return refuseBatch(kind == OperationKind::Merge
                               ? u"请添加有效文件；合并至少需要 2 份，单批最多 200 份。"_s
                               : u"请添加要处理的文件。/ name the files to process."_s,
                           usageError);
    // A merge is one document: more sources than it takes would be a partial one.
    if (oneJobForAll(request) && inputs.size() > maxSources)
        return usage(u"合并最多 200 份文件，共给出 %1 份；未处理任何文件。"_s.arg(inputs.size()));
    if (!QDir().mkpath(request.output) || !QFileInfo(request.output).isWritable())
        return usage(
            u"输出位置无效：请选择可写的文件夹。/ the output folder cannot be written: "_s +
            request.output);

    QList<ReportEntry> listed;
    for (const QString& input : std::as_const(inputs))
        listed.append({input, u"等待处理"_s, QString(), QString()});
    m_entries = listed + m_entries;
    if (oneJobForAll(request)) {
        request.inputs = inputs;
        m_jobs.append(request);
        QList<int> all;
        for (int i = 0; i < inputs.size(); ++i)
            all.append(i);
        m_entriesOfJob.append(all);
    } else {
        // Bates numbers go on from file to file in list order.
        const QList<qint64> bates = kind == OperationKind::Stamp && request.batesDigits > 0
                                        ? batesStarts(inputs, request.password, request.batesStart)
                                        : QList<qint64>();
        for (int i = 0; i < inputs.size(); ++i) {
            request.inputs = {inputs.at(i)};
            request.sequence = i + 1;
            if (!bates.isEmpty())
                request.batesStart = bates.at(i);
            m_jobs.append(request);
            m_entriesOfJob.append(QList<int>{i});
        }
    }
    return -1;
}

int BatchCommand::refuseBatch(const QString& message, int code)
{
    say(stderr, message + u'\n');
    writeReport();
    return code;
}

void BatchCommand::showProgress(const QString& current)
{
    if (!m_terminal)
        return;
    constexpr int width = 30;
    const int total = int(m_jobs.size());
    const int filled = total > 0 ? m_finished * width / total : width;
    say(stdout,
        u"\r\033[K[%1%2] %3 / %4"_s.arg(QString(filled, u'#'), QString(width - filled, u'-'))
                .arg(m_finished)
                .arg(total) +
            (current.isEmpty() ? QString() : u" · "_s + current));
}

// The jobs run as successive batches of at most 200, as the window runs one.
void BatchCommand::startNextChunk()
{
    const qsizetype size = std::min<qsizetype>(maxSources, m_jobs.size() - m_chunkStart);
    m_runner.start(m_jobs.mid(m_chunkStart, size));
}

void BatchCommand::onChunkFinished()
{
    m_chunkStart += maxSources;
    if (console::events().interrupts == 0 && console::events().terminated == 0 &&
        m_chunkStart < m_jobs.size())
        startNextChunk();
    else
        QCoreApplication::quit();
}

void BatchCommand::onFinished(int chunkJob, const JobOutcome& outcome)
{
    const int job = int(m_chunkStart) + chunkJob;
    ++m_finished;
    if (m_terminal)
        say(stdout, u"\r\033[K"_s);
    for (const int index : m_entriesOfJob.at(job)) {
        ReportEntry& entry = m_entries[index];
        entry.state = outcome.state;
        entry.output = outcome.output;
        entry.detail = outcome.detail;
        m_succeeded += outcome.succeeded ? 1 : 0;
        m_nothingToDo += outcome.skipped ? 1 : 0;
        QString line = outcome.state + u"  "_s + QDir::toNativeSeparators(entry.input);
        if (outcome.succeeded)
            line += u" → "_s + QDir::toNativeSeparators(outcome.output);
        if (!outcome.detail.isEmpty())
            line += u"：" + userLine(outcome.detail);
        say(stdout, line + u'\n');
    }
    showProgress();
}

void BatchCommand::pollInterrupts()
{
    console::Events& events = console::events();
    if (events.suspended) {
        // The workers stop with the batch, or they would publish meanwhile.
        m_runner.signalWorkers(GroupSignal::Stop);
        console::suspendSelf();
        events.suspended = 0;
        m_runner.signalWorkers(GroupSignal::Continue);
    }
    if ((events.terminated || events.interrupts >= 2) && m_runner.isRunning()) {
        m_runner.endNow();
    } else if (events.interrupts >= 1 && !m_runner.isStopping() && m_runner.isRunning()) {
        m_runner.stop();
        say(stderr,
            u"\n正在停止：不再开始新文件，正在处理的文件完成后结束；再按 Ctrl-C 立即结束。\n"
            u"Stopping: no new files; press Ctrl-C again to end the running ones now.\n"_s);
    }
}

int BatchCommand::run(const QStringList& arguments, const QString& workerProgram)
{
    const int prepared = prepare(arguments);
    if (prepared >= 0)
        return prepared;
    m_terminal = console::outputIsTerminal();
    console::catchEvents();
    connect(&m_interruptPoll, &QTimer::timeout, this, [this] { pollInterrupts(); });
    m_interruptPoll.start(100);

    m_runner.setWorkerProgram(workerProgram);
    m_runner.setMaxJobs(m_maxJobs);
    // Recognition reports its pages as the window shows them.
    connect(&m_runner, &BatchRunner::jobProgress, this,
            [this](int, int completed, int total, const QString& message) {
                showProgress(message.isEmpty() ? u"当前文档 %1 / %2 页"_s.arg(completed).arg(total)
                                               : message);
            });
    connect(&m_runner, &BatchRunner::jobFinished, this,
            [this](int job, const JobOutcome& outcome) { onFinished(job, outcome); });
    connect(
        &m_runner, &BatchRunner::finished, this, [this] { onChunkFinished(); },
        Qt::QueuedConnection);
    showProgress();
    startNextChunk();
    // The runner reports each batch's end through the queue, so the loop
    // always runs until the last one.
    QCoreApplication::exec();
    console::releaseEvents();
    if (m_terminal)
        say(stdout, u"\n"_s);
    // What a stop left unstarted is named as what was done is, here and in the report.
    for (ReportEntry& entry : m_entries) {
        if (entry.state != u"等待处理"_s)
            continue;
        entry.state = u"未开始"_s;
        entry.detail = u"批处理已停止，此文件未开始处理"_s;
        say(stdout, u"未开始  "_s + QDir::toNativeSeparators(entry.input) + u'\n');
    }

    const qsizetype files = m_entries.size() - m_skipped;
    const QString skipped = m_nothingToDo ? u" · 已跳过 %1"_s.arg(m_nothingToDo) : QString();
    say(stdout, u"%1 份文件 · 成功 %2%3 · 未成功 %4\n"_s.arg(files)
                    .arg(m_succeeded)
                    .arg(skipped)
                    .arg(files - m_succeeded - m_nothingToDo));
    const bool reported = writeReport();
    return m_succeeded + m_nothingToDo == files && reported ? 0 : 1;
}

bool BatchCommand::writeReport()
{
    if (m_report.isEmpty())
        return true;
    const ReportFormat format =
        m_report.endsWith(u".csv"_s, Qt::CaseInsensitive) ? ReportFormat::Csv : ReportFormat::Json;
    const QString failure = publishReport(m_report, batchReport(m_settings, m_entries, format));
    if (!failure.isEmpty())
        say(stderr, failure + u'\n');
    return failure.isEmpty();
}

} // namespace

int runBatchCommand(const QStringList& arguments, const QString& workerProgram)
{
    const console::OutputSetup output;
    BatchCommand command;
    return command.run(arguments, workerProgram);
}

} // namespace batch
