// Invariant: the output folder gains nothing but a completely written result,
// and the staging folder is removed on every path out of a job.
#include "jobframe/jobframe.h"

#include "engine/pdfdocument.h"
#include "engine/platformfs.h"
#include "engine/platformproc.h"
#include "jobframe/staging.h"
#include "protocol/catalogue.h"
#include "protocol/ocroptions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <exception>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr qint64 maxTotalBytes = 1073741824;
constexpr int maxBaseNameLength = 120;

// The request's name pattern filled in ("<source>-<short name>" by default;
// a merge's source is "合并文档"; pictures made one PDF are named by
// `oneFile`), cut so that the longest name publishing may try,
// "<name> (9999)<suffix>", still fits the folder's file system.
QString outputName(const JobRequest& request, const QString& shortName, const QString& suffix,
                   const QString& folder)
{
    const bool merge = request.operation->kind == OperationKind::Merge;
    const bool together = oneJobForAll(request) && !merge;
    const QString pattern = together ? request.oneFile : request.outputName;
    const QString problem = outputNameProblem(pattern);
    if (!problem.isEmpty())
        fail(problem);
    const QString base = merge      ? u"合并文档"_s
                         : together ? u"图片"_s
                                    : QFileInfo(request.inputs.first()).completeBaseName();
    // The source's name gives way first; the rest of the pattern only when
    // it alone is too long.
    const qsizetype room =
        maxNameLength(folder) - nameLength(u" (%1)"_s.arg(maxNameCandidates - 1) + suffix);
    const QString rest = expandOutputName(pattern, QString(), shortName, request.sequence);
    const QString shortBase =
        fitName(fitName(base, maxBaseNameLength, [](const QString& text) { return text.size(); }),
                std::max<qsizetype>(0, room - nameLength(rest)));
    return fitName(expandOutputName(pattern, shortBase, shortName, request.sequence), room);
}

// What the optimisation or compression saved, said in the result's note.
QString sizeNote(OperationKind kind, qint64 before, qint64 after)
{
    const QString done = kind == OperationKind::Compress ? u"压缩"_s : u"优化"_s;
    if (after >= before)
        return u"文档已%1，但大小未减小；原文档可能已充分压缩。"_s.arg(done);
    const qint64 percent = (before - after) * 100 / before;
    return u"已%1：%2 → %3（%4）"_s.arg(done, formatSize(before), formatSize(after),
                                        percent < 1 ? u"减小不足 1%"_s
                                                    : u"减小 %1%"_s.arg(percent));
}

// How many scan pages were written as layers, wherever the archive level was
// asked for or a target size led to it.
QString layeredNote(const QString& level, int layeredPages)
{
    if (layeredPages > 0)
        return u"；%1 页扫描页已分层压缩（文字保持扫描分辨率）"_s.arg(layeredPages);
    if (level == u"archive"_s)
        return u"；没有可分层压缩的扫描页，已按“最小”压缩"_s;
    return {};
}

// A size limit as the user typed it, without a ".0", and spaced as Chinese
// text spaces Latin units: "2 MB ", "900 字节".
QString limitText(qint64 limit)
{
    QString text = formatSize(limit);
    text.replace(u".0 "_s, u" "_s);
    if (!text.endsWith(u"字节"_s))
        text += u' ';
    return text;
}

// "无法压缩到 2 MB 以内，已压缩到 2.6 MB".
QString missedTargetNote(qint64 target, qint64 bytes)
{
    return u"无法压缩到 %1以内，已压缩到 %2"_s.arg(limitText(target), formatSize(bytes));
}

// "第 12 页单独超过 10 MB": pages a split by size had to write alone.
QString oversizedNote(const QList<int>& pages, qint64 limit)
{
    QStringList numbers;
    for (const int page : pages)
        numbers << QString::number(page + 1);
    return u"第 %1 页单独超过 %2"_s.arg(numbers.join(u"、"_s), limitText(limit).trimmed());
}

// The request's pictures as one document; `note` names those left out.
PdfDocument picturesDocument(const JobRequest& request, const ModuleServices* module, QString& note)
{
    if (!module || !module->imagesToPdf)
        fail(u"处理发生异常，原文件未改变。"_s);
    if (request.recognize) {
        const QString message = validateOcrOptions(request.ocr);
        if (!message.isEmpty())
            fail(message);
    }
    ImagesDocument made = module->imagesToPdf(request.inputs, request.fitA4, {});
    if (!made.refused.isEmpty())
        note = u"这些图片无法读取，未放入结果：%1。"_s.arg(made.refused.join(u"、"_s));
    return made.document;
}

// The split's plan from the request; separator pages are found by the module.
SplitPlan splitPlan(const JobRequest& request, const QList<int>& pages,
                    const ModuleServices* module, const PdfDocument& source,
                    const ProgressCallback& progress)
{
    SplitPlan plan;
    plan.mode = request.splitMode;
    plan.group = request.group;
    plan.after = request.pages.trimmed().isEmpty() ? QList<int>() : pages;
    plan.level = request.level;
    plan.maxBytes = request.maxSize;
    plan.keepSeparators = request.keepSeparators;
    if (plan.mode == u"blank"_s) {
        if (!(request.blankThreshold >= 0.001 && request.blankThreshold <= 10))
            fail(u"空白页阈值需为 0.001% 至 10%。"_s);
        if (!module || !module->findBlankPages)
            fail(u"处理发生异常，原文件未改变。"_s);
        removeStaleStagingFolders(privateWorkBase(), privateOcrPrefix);
        plan.blank = module->findBlankPages(source, request.blankThreshold, progress);
    }
    return plan;
}

// The members only compression reads; refused before any document is read.
void checkCompressOptions(const JobRequest& request)
{
    if (compressionLevelStep(request.compressLevel) < 0)
        fail(
            u"压缩级别无效：请选择 high（高质量）、standard（标准）、small（最小）或 archive（极限压缩）。"_s);
    if (request.targetSize < 0)
        fail(u"目标大小无效：请填写不小于 0 的整数字节数。"_s);
}

// An optimisation never publishes a file larger than its source: where the
// rewrite came out larger, the result is the source's own bytes, unless QPDF
// had to repair the source, whose rewrite is then worth more than its bytes.
// Returns the staged result's size.
qint64 neverLarger(const QString& staged, const QString& source, qint64 sourceBytes,
                   bool sourceRepaired)
{
    const qint64 written = QFileInfo(staged).size();
    if (written <= sourceBytes || sourceRepaired)
        return written;
    const QString copy = staged + u".source"_s;
    // A source that changed since it was read is not taken in its place.
    if (!QFile::copy(source, copy) || QFileInfo(copy).size() != sourceBytes ||
        !replaceEntry(copy, staged).isEmpty()) {
        QFile::remove(copy);
        return written;
    }
    return sourceBytes;
}

// A split's range names the pages its parts end after; empty, it splits by group.
bool takesPageRange(OperationKind kind)
{
    return kind == OperationKind::Extract || kind == OperationKind::Rotate ||
           kind == OperationKind::Split || kind == OperationKind::PdfToImages;
}

// The members only pages as pictures read; refused before any document is read.
PageImageOptions pageImageOptions(const JobRequest& request)
{
    if (!QStringList{u"png"_s, u"jpg"_s, u"tif"_s}.contains(request.imageFormat))
        fail(u"图片格式无效：请选择 png、jpg 或 tif。"_s);
    if (request.imageDpi < 72 || request.imageDpi > 600)
        fail(u"图片分辨率需为 72 至 600 DPI。"_s);
    if (request.imageQuality < 1 || request.imageQuality > 100)
        fail(u"JPEG 质量需为 1 至 100。"_s);
    return {request.imageFormat, request.imageDpi, request.imageQuality, request.imageGrey};
}

// A merge keeps no source's protection: the note names the sources that had
// one, so that nobody is surprised, and a new password given protects the result.
QString protectMerged(PdfDocument& merged, const QStringList& inputs,
                      const std::vector<PdfDocument>& sources, const QString& newPassword)
{
    if (!newPassword.isEmpty())
        encryptDocument(merged, newPassword);
    QStringList names;
    for (size_t i = 0; i < sources.size(); ++i) {
        if (sources[i].isEncrypted())
            names << QFileInfo(inputs.value(qsizetype(i))).fileName();
    }
    if (names.isEmpty())
        return {};
    return (newPassword.isEmpty()
                ? u"这些源文件有密码保护：%1。合并结果未加密，如需保护请在合并设置中填写新密码。"_s
                : u"这些源文件有密码保护：%1。合并结果已用新设置的密码加密。"_s)
        .arg(names.join(u"、"_s));
}

// The rights an operation needs of its admitted source, asked after
// admission: with the open password, what the document's permissions grant.
void checkRights(const JobRequest& request, const PdfDocument& source)
{
    switch (request.operation->kind) {
    case OperationKind::Merge:
        break; // each source is checked as the merge takes it
    case OperationKind::Extract:
    case OperationKind::Split:
        checkExtractRights(source);
        break;
    case OperationKind::Rotate:
        checkRotateRights(source);
        break;
    case OperationKind::Ocr:
        checkModifyRights(source);
        if (request.ocr.output == u"docx"_s)
            checkCopyRights(source); // a Word file keeps no protection
        break;
    case OperationKind::Optimize:
    case OperationKind::Compress:
        checkModifyRights(source);
        break;
    case OperationKind::Encrypt:
        checkOwnerRights(source, u"更换文档密码"_s);
        break;
    case OperationKind::Decrypt:
        checkOwnerRights(source, u"移除密码"_s);
        break;
    case OperationKind::PdfToImages:
        checkCopyRights(source); // pictures keep no protection
        break;
    case OperationKind::ImagesToPdf:
        break;
    case OperationKind::Stamp:
        checkModifyRights(source);
        break;
    }
}

QJsonObject runJob(const JobRequest& request, const ProgressCallback& progress,
                   const ModuleServices* module, const ResultAnnouncer& announce)
{
    if (!request.operation)
        fail(u"未知处理类型。"_s);
    const Operation& operation = *request.operation;
    const OperationKind kind = operation.kind;
    if (kind == OperationKind::Ocr) {
        const QString message = validateOcrOptions(request.ocr);
        if (!message.isEmpty())
            fail(message);
    }
    if (kind == OperationKind::Compress)
        checkCompressOptions(request);
    const PageImageOptions imageOptions =
        kind == OperationKind::PdfToImages ? pageImageOptions(request) : PageImageOptions();

    const QStringList& inputs = request.inputs;
    const bool merge = kind == OperationKind::Merge;
    if (inputs.size() < (merge ? 2 : 1) || inputs.size() > maxSources)
        fail(u"请添加有效文件；合并至少需要 2 份，单批最多 200 份。"_s);
    if (!oneJobForAll(request) && inputs.size() != 1)
        fail(u"单文件任务一次只接收一个源文件。"_s);

    if (!QDir::isAbsolutePath(request.output) || !QFileInfo(request.output).isDir())
        fail(u"请选择有效的输出文件夹。"_s);
    const QString outputFolder = QDir(request.output).absolutePath();

    removeStaleStagingFolders(outputFolder);
    // Declared before every document so that it is removed last, after all files
    // in it have been closed.
    const StagingFolder staging(outputFolder);
    if (!staging.isValid())
        fail(u"输出文件夹无法写入，请检查权限和磁盘空间。"_s);

    std::vector<PdfDocument> sources;
    qint64 totalBytes = 0;
    qint64 totalPages = 0;
    // Pictures are read by the module, not admitted as PDFs.
    const bool pictures = kind == OperationKind::ImagesToPdf;
    QString picturesNote;
    for (const QString& path : pictures ? QStringList() : inputs) {
        const QFileInfo info(path);
        totalBytes += info.exists() ? info.size() : 0;
        if (totalBytes > maxTotalBytes)
            fail(u"单次合并的源文件总大小不能超过 1 GB。"_s);
        try {
            sources.push_back(read(path, request.passwordFor(qsizetype(sources.size()))));
        } catch (const std::runtime_error& error) {
            if (!merge)
                throw;
            // A merge is one job for all its files: the one that stopped it is named.
            fail(u"“%1”：%2"_s.arg(info.fileName(), QString::fromUtf8(error.what())));
        }
        totalPages += sources.back().pageCount();
        if (totalPages > maxPages)
            fail(u"处理总页数不能超过 100000 页。"_s);
    }

    QStringList titles;
    for (const QString& path : inputs)
        titles.append(QFileInfo(path).completeBaseName());
    PdfDocument working = pictures ? picturesDocument(request, module, picturesNote)
                          : merge  ? mergeDocuments(sources, titles)
                                   : sources.front();
    checkRights(request, working);

    QString pageError;
    const QList<int> pages = parsePageRanges(takesPageRange(kind) ? request.pages : QString(),
                                             working.pageCount(), pageError);
    if (!pageError.isEmpty())
        fail(pageError);

    const bool split = kind == OperationKind::Split;
    QString staged = staging.path() + (split ? u"/parts"_s : u"/result.pdf"_s);
    QString shortName = operation.shortName;
    QString suffix = split ? QString() : u".pdf"_s;
    bool written = split;
    int files = 1;
    QString note = merge ? protectMerged(working, inputs, sources, request.newPassword) : QString();
    // Whether the row asks to be checked; a size note only informs.
    bool review = kind != OperationKind::Optimize && kind != OperationKind::Compress;
    // A long job keeps its folder fresh: another machine's sweep takes a
    // folder unchanged for a day for a dead one.
    const ProgressCallback touching = [&](int done, int total, const QString& text) {
        staging.touch();
        if (progress)
            progress(done, total, text);
    };

    switch (kind) {
    case OperationKind::Split: {
        const SplitOutcome outcome = splitDocument(
            working, splitPlan(request, pages, module, working, touching), staged,
            fitName(QFileInfo(inputs.first()).completeBaseName(),
                    maxNameLength(outputFolder) - nameLength(u"-拆分-000001.pdf.partial"_s)));
        files = outcome.files;
        if (!outcome.oversized.isEmpty())
            note = oversizedNote(outcome.oversized, request.maxSize);
        break;
    }
    case OperationKind::Extract:
        working = extractPages(working, pages);
        break;
    case OperationKind::Ocr: {
        if (!module || !module->recognize)
            fail(u"处理发生异常，原文件未改变。"_s);
        removeStaleStagingFolders(privateWorkBase(), privateOcrPrefix);
        Recognition recognition = module->recognize(working, staging.path(), request.ocr, touching);
        note = recognition.note;
        review = recognition.review;
        if (request.ocr.output == u"docx"_s) {
            staged = recognition.file;
            shortName = u"可编辑"_s;
            suffix = u".docx"_s;
            written = true;
        } else {
            working = recognition.document;
            if (request.ocr.output == u"rebuilt"_s)
                shortName = u"重排"_s;
        }
        break;
    }
    case OperationKind::Rotate:
        rotatePages(working, pages, request.degrees);
        break;
    case OperationKind::Optimize:
        optimizeDocument(working);
        break;
    case OperationKind::Compress: {
        // Every attempt starts again from the source as it was admitted.
        const CompressionOutcome outcome =
            compressToFit([&] { return read(inputs.first(), request.passwordFor(0)); },
                          request.compressLevel, request.targetSize, totalBytes, staged);
        written = true;
        const qint64 bytes = neverLarger(staged, inputs.first(), totalBytes, outcome.repaired);
        review = !outcome.fits;
        note = outcome.fits ? sizeNote(kind, totalBytes, bytes)
                            : missedTargetNote(request.targetSize, bytes);
        // A result that is the source's own bytes has no layers to speak of.
        if (bytes < totalBytes)
            note += layeredNote(request.compressLevel, outcome.layeredPages);
        break;
    }
    case OperationKind::Encrypt:
        encryptDocument(working, request.newPassword);
        break;
    case OperationKind::Decrypt:
        decryptDocument(working);
        break;
    case OperationKind::PdfToImages: {
        if (!module || !module->writePageImages)
            fail(u"处理发生异常，原文件未改变。"_s);
        const bool tiff = imageOptions.format == u"tif"_s;
        staged = staging.path() + (tiff ? u"/result.tif"_s : u"/parts"_s);
        suffix = tiff ? u".tif"_s : QString();
        written = true;
        review = false;
        files = module->writePageImages(
            working, pages, imageOptions, staged,
            fitName(QFileInfo(inputs.first()).completeBaseName(),
                    maxNameLength(outputFolder) - nameLength(u"-000001.png.partial"_s)),
            touching);
        break;
    }
    case OperationKind::Stamp:
        if (!module || !module->stamp)
            fail(u"处理发生异常，原文件未改变。"_s);
        note = module->stamp(working, request, staging.path());
        review = false;
        break;
    case OperationKind::ImagesToPdf:
        note = picturesNote;
        review = !note.isEmpty();
        if (request.recognize) {
            if (!module || !module->recognize)
                fail(u"处理发生异常，原文件未改变。"_s);
            removeStaleStagingFolders(privateWorkBase(), privateOcrPrefix);
            OcrRequest ocr = request.ocr;
            ocr.output = u"pdf"_s;
            Recognition recognition = module->recognize(working, staging.path(), ocr, touching);
            working = recognition.document;
            note = QStringList{note, recognition.note}.join(u' ').trimmed();
            review = review || recognition.review;
        }
        break;
    case OperationKind::Merge:
        break;
    }
    if (!written) {
        writeDocument(staged, working);
        if (kind == OperationKind::Optimize)
            note = sizeNote(kind, totalBytes,
                            neverLarger(staged, inputs.first(), totalBytes, working.repaired()));
    }

    // A result that nobody would record is not published.
    if (parentGone())
        fail(u"启动本进程的程序已结束，结果未发布。"_s);
    const QString name = outputName(request, shortName, suffix, outputFolder);
    const QString published = publishResult(staged, outputFolder, name, suffix);
    if (published.isEmpty())
        fail(u"无法保存结果，原文件和已有结果均未覆盖。"_s);
    const QJsonObject result = successResult(published, files, note, review);
    if (announce)
        announce(result);
    return result;
}

} // namespace

bool needsModule(const JobRequest& request)
{
    if (!request.operation)
        return false;
    switch (request.operation->kind) {
    case OperationKind::Ocr:
        return true;
    case OperationKind::Split:
        return request.splitMode == u"blank"_s;
    case OperationKind::PdfToImages:
        return true;
    case OperationKind::ImagesToPdf:
    case OperationKind::Stamp:
        return true;
    default:
        return false;
    }
}

QJsonObject processRequest(const JobRequest& request, const ProgressCallback& progress,
                           const ModuleServices* module, const ResultAnnouncer& announce)
{
    try {
        return runJob(request, progress, module, announce);
    } catch (const NothingToDo& reason) {
        return skippedResult(QString::fromUtf8(reason.what()));
    } catch (const std::exception& error) {
        return failureResult(QString::fromUtf8(error.what()));
    } catch (...) {
        return failureResult(u"处理发生异常，原文件未改变。"_s);
    }
}

} // namespace batch
