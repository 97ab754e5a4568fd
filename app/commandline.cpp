#include "app/commandline.h"

#include "app/console.h"
#include "app/stampoptions.h"

#include "engine/pdfdocument.h"
#include "engine/platformfs.h"
#include "protocol/catalogue.h"
#include "protocol/ocroptions.h"
#include "protocol/protocol.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <optional>

using namespace Qt::StringLiterals;

namespace batch {

void say(FILE* stream, const QString& text)
{
    console::write(stream, text);
}

int usage(const QString& message)
{
    say(stderr, message + u"\n请运行 / see: quorvin-pdf-batch batch --help\n"_s);
    return usageError;
}

namespace {

const char* const passwordVariable = "QPB_PASSWORD";
const char* const newPasswordVariable = "QPB_NEW_PASSWORD";

const QString overallHelp =
    u"用法 / Usage: quorvin-pdf-batch batch 操作 [选项] --output 文件夹 文件或文件夹…\n"
    "       quorvin-pdf-batch batch OPERATION [OPTIONS] --output DIR FILE-OR-FOLDER…\n"
    "       quorvin-pdf-batch batch watch FOLDER OPERATION --output DIR [OPTIONS]\n"
    "       （监视文件夹，见 / watch a folder, see: batch watch --help）\n\n"
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
            u"  --level L               high（高质量，300 DPI）、standard（标准，200 "
            u"DPI，默认）、\n"
            u"                          small（最小，150 DPI）或 archive（极限压缩：扫描页分层）/\n"
            u"                          at most 300, 200, 150 DPI, or scans as text and paper "
            u"layers\n"
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

const QString watchHelp =
    u"用法 / Usage: quorvin-pdf-batch batch watch 文件夹 操作 --output 文件夹 [操作的选项]\n"
    "       [--settle 5s] [--interval 2s] [--recursive] [--new-only] [--report FILE]\n\n"
    "监视文件夹：每个新到的文件处理一次，结果存入输出文件夹；源文件只读不改。\n"
    "Watches a folder: every file that arrives is processed once into the output folder;\n"
    "sources are only read. Any operation but merge; its options as for a batch.\n\n"
    "  --settle TIME           文件大小和时间保持不变多久才算写完，默认 5s，至少 1s /\n"
    "                          how long a file must stand still, 5s by default, 1s at least\n"
    "  --interval TIME         检查间隔，默认 2s / how often the folder is read, 2s by default\n"
    "  --recursive             包括子文件夹，结果按子文件夹存放 / subfolders too\n"
    "  --new-only              开始时已有的文件不处理 / leave the files already there\n"
    "  --report FILE           停止时保存监视记录为 JSON 或 CSV 报告 / the journal as a report\n\n"
    "处理记录保存在输出文件夹的 .quorvin-watch.jsonl：重新开始时已处理的文件不再处理，\n"
    "失败的文件在内容改变后才再试。The journal .quorvin-watch.jsonl in the output folder keeps\n"
    "each file done once across restarts; a failed file is tried again when it changes.\n\n"
    "Ctrl-C 或 SIGTERM 结束监视（正在处理的文件先完成；再按 Ctrl-C 立即结束）；正常结束时\n"
    "退出状态为 0。Ctrl-C or SIGTERM end the watch (running files finish first; Ctrl-C twice\n"
    "ends them now); exit status 0 when it ended cleanly.\n"_s;

// A time as "5s", "500ms", "1m" or plain seconds; nothing when it is none.
std::optional<int> parseDuration(const QString& text)
{
    static const QList<std::pair<QString, double>> units{
        {u"ms"_s, 1}, {u"s"_s, 1000}, {u"m"_s, 60000}, {QString(), 1000}};
    for (const auto& [unit, factor] : units) {
        if (!text.endsWith(unit))
            continue;
        bool ok = false;
        const double value = text.chopped(unit.size()).trimmed().toDouble(&ok);
        if (!ok || value < 0 || value * factor > 86400000.0)
            return std::nullopt;
        return int(value * factor);
    }
    return std::nullopt;
}

struct WatchOptions
{
    QCommandLineOption settle{u"settle"_s, QString(), u"TIME"_s};
    QCommandLineOption interval{u"interval"_s, QString(), u"TIME"_s};
    QCommandLineOption recursive{u"recursive"_s};
    QCommandLineOption newOnly{u"new-only"_s};
    QList<QCommandLineOption> all() const { return {settle, interval, recursive, newOnly}; }
};

// -1 when the watch's own options are right, or not given without a watch.
int readWatchOptions(const QCommandLineParser& parser, const WatchOptions& options,
                     Command& command)
{
    for (const QCommandLineOption& option : options.all()) {
        if (parser.isSet(option) && !command.watching)
            return usage(u"--%1 只用于 watch / goes with watch"_s.arg(option.names().first()));
    }
    if (!command.watching)
        return -1;
    WatchSettings& watch = command.watch;
    if (watch.folder.isEmpty())
        return usage(u"请给出要监视的文件夹 / name the folder to watch"_s);
    watch.folder = QDir(watch.folder).absolutePath();
    const std::optional<int> settle =
        parseDuration(parser.isSet(options.settle) ? parser.value(options.settle) : u"5s"_s);
    const std::optional<int> interval =
        parseDuration(parser.isSet(options.interval) ? parser.value(options.interval) : u"2s"_s);
    if (!settle || *settle < minSettleMs)
        return usage(u"--settle 至少为 1s，例如 5s / --settle takes 1s or more, such as 5s"_s);
    if (!interval || *interval < minIntervalMs)
        return usage(u"--interval 至少为 100ms，例如 2s / --interval takes 100ms or more"_s);
    watch.settleMs = *settle;
    watch.intervalMs = *interval;
    watch.recursive = parser.isSet(options.recursive);
    watch.newOnly = parser.isSet(options.newOnly);
    return -1;
}

} // namespace

int readCommand(const QStringList& arguments, Command& command)
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
    const WatchOptions watchOptions;
    parser.addOptions(watchOptions.all());
    // clang-format off
    parser.addOptions({output, pages, group, degrees, language, dpi, models, outputKind,
                       noKeepText, level, targetSize, jobs, report, passwordFile,
                       newPasswordFile, name, mode, maxSize, keepSeparators, blankThreshold,
                       format, quality, grey, oneFile, fitA4, ocr, ocrLanguage, help});
    // clang-format on
    if (!parser.parse(QStringList{u"quorvin-pdf-batch"_s} + arguments))
        return usage(u"选项无效 / invalid option: "_s + parser.errorText());

    QStringList positional = parser.positionalArguments();
    command.watching = !positional.isEmpty() && positional.first() == u"watch"_s;
    if (command.watching) {
        positional.removeFirst();
        command.watch.folder = positional.isEmpty() ? QString() : positional.takeFirst();
    }
    if (!positional.isEmpty())
        command.operation = findOperation(positional.first());
    if (parser.isSet(help)) {
        say(stdout, command.watching    ? watchHelp
                    : command.operation ? operationHelp(*command.operation)
                                        : overallHelp);
        return 0;
    }
    if (const int read = readWatchOptions(parser, watchOptions, command); read >= 0)
        return read;
    if (positional.isEmpty())
        return usage(u"请给出处理类型 / name an operation: merge split extract rotate ocr "
                     "optimize compress encrypt decrypt stamp images2pdf pdf2images"_s);
    if (!command.operation)
        return usage(u"未知处理类型。/ unknown operation: "_s + positional.first());
    const OperationKind kind = command.operation->kind;

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
        return usage(u"--%1 不适用于 %2 / does not apply to %2"_s.arg(set, command.operation->id));
    for (const auto& [option, fits] : applies) {
        if (parser.isSet(*option) && !fits)
            return usage(u"--%1 不适用于 %2 / does not apply to %2"_s.arg(option->names().first(),
                                                                          command.operation->id));
    }

    JobRequest request;
    request.operation = command.operation;
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
    command.maxJobs = number(jobs, 0, valid);
    if (!valid || request.group < 1 || request.group > maxPages || command.maxJobs < 0 ||
        (parser.isSet(jobs) && command.maxJobs < 1))
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
            return usage(u"压缩级别无效。/ --level takes high, standard, small or archive"_s);
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
        command.report = QFileInfo(parser.value(report)).absoluteFilePath();
        if (QFileInfo(command.report).exists() || QFileInfo(command.report).isSymLink())
            return usage(u"报告文件已存在，不会覆盖 / the report file exists: "_s + command.report);
        const QFileInfo folder(QFileInfo(command.report).absolutePath());
        if (!folder.isDir() || !folder.isWritable())
            return usage(u"报告所在的文件夹不存在或不可写 / the report's folder cannot be "
                         u"written: "_s +
                         folder.absoluteFilePath());
    }

    command.request = request;
    command.files = positional.mid(1);
    if (command.watching && !command.files.isEmpty())
        return usage(u"watch 只监视一个文件夹 / watch takes one folder"_s);
    return -1;
}

namespace {

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

} // namespace

QString outcomeLine(const QString& input, const JobOutcome& outcome)
{
    QString line = outcome.state + u"  "_s + QDir::toNativeSeparators(input);
    if (outcome.succeeded)
        line += u" → "_s + QDir::toNativeSeparators(outcome.output);
    if (!outcome.detail.isEmpty())
        line += u"：" + userLine(outcome.detail);
    return line + u'\n';
}

bool writeReport(const QString& path, const JobRequest& settings, const QList<ReportEntry>& entries)
{
    if (path.isEmpty())
        return true;
    const ReportFormat format =
        path.endsWith(u".csv"_s, Qt::CaseInsensitive) ? ReportFormat::Csv : ReportFormat::Json;
    const QString failure = publishReport(path, batchReport(settings, entries, format));
    if (!failure.isEmpty())
        say(stderr, failure + u'\n');
    return failure.isEmpty();
}

} // namespace batch
