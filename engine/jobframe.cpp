// Invariant: the output folder gains nothing but a completely written result,
// and the staging folder is removed on every path out of a job.
#include "engine/jobframe.h"

#include "app/catalogue.h"
#include "engine/pdfdocument.h"
#include "engine/staging.h"
#include "ocr/ocroptions.h"

#include <QDir>
#include <QFileInfo>

#include <exception>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr int maxInputs = 200;
constexpr qint64 maxTotalBytes = 1073741824;
constexpr int maxBaseNameLength = 120;

QString outputBaseName(const Operation& operation, const QStringList& inputs)
{
    if (operation.id == u"merge"_s)
        return u"合并文档"_s;
    QString base = QFileInfo(inputs.first()).completeBaseName();
    if (base.size() > maxBaseNameLength) {
        base.truncate(maxBaseNameLength);
        // Never leave half of a surrogate pair: it cannot be encoded as a file name.
        if (base.back().isHighSurrogate())
            base.chop(1);
    }
    return base;
}

QJsonObject runJob(const QJsonObject& request, const ProgressCallback& progress,
                   Recognizer recognizer)
{
    const Operation* operation = findOperation(stringMember(request, u"operation"_s));
    if (!operation)
        fail(u"未知处理类型。"_s);
    const QString& id = operation->id;
    if (id == u"ocr"_s) {
        const QString message = validateOcrOptions(request);
        if (!message.isEmpty())
            fail(message);
    }

    const QStringList inputs = stringListMember(request, u"inputs"_s);
    const bool merge = id == u"merge"_s;
    if (inputs.size() < (merge ? 2 : 1) || inputs.size() > maxInputs)
        fail(u"请添加有效文件；合并至少需要 2 份，单批最多 200 份。"_s);
    if (!merge && inputs.size() != 1)
        fail(u"单文件任务一次只接收一个源文件。"_s);

    const QString output = stringMember(request, u"output"_s);
    if (!QDir::isAbsolutePath(output) || !QFileInfo(output).isDir())
        fail(u"请选择有效的输出文件夹。"_s);
    const QString outputFolder = QDir(output).absolutePath();

    removeStaleStagingFolders(outputFolder);
    // Declared before every document so that it is removed last, after all files
    // in it have been closed.
    const StagingFolder staging(outputFolder);
    if (!staging.isValid())
        fail(u"输出文件夹无法写入，请检查权限和磁盘空间。"_s);

    const QString password = stringMember(request, u"password"_s);
    std::vector<PdfDocument> sources;
    qint64 totalBytes = 0;
    qint64 totalPages = 0;
    for (const QString& path : inputs) {
        const QFileInfo info(path);
        totalBytes += info.exists() ? info.size() : 0;
        if (totalBytes > maxTotalBytes)
            fail(u"单次合并的源文件总大小不能超过 1 GB。"_s);
        sources.push_back(read(path, password));
        totalPages += sources.back().pageCount();
        if (totalPages > maxPages)
            fail(u"处理总页数不能超过 100000 页。"_s);
    }

    PdfDocument working = sources.front();
    int files = 1;
    QString note;

    if (merge)
        working = mergeDocuments(sources);
    else if (id == u"extract"_s || id == u"split"_s)
        checkExtractRights(working);
    else
        checkModifyRights(working);

    const bool usesPages = id == u"extract"_s || id == u"rotate"_s;
    QString pageError;
    const QList<int> pages = parsePageRanges(
        usesPages ? stringMember(request, u"pages"_s) : QString(), working.pageCount(), pageError);
    if (!pageError.isEmpty())
        fail(pageError);

    const bool split = id == u"split"_s;
    const QString staged = staging.path() + (split ? u"/parts"_s : u"/result.pdf"_s);

    if (split) {
        files = splitDocument(working, request, staged);
    } else {
        if (id == u"extract"_s) {
            working = extractPages(working, pages);
        } else if (id == u"ocr"_s) {
            if (!recognizer)
                fail(u"处理发生异常，原文件未改变。"_s);
            working = recognizer(working, staging.path(), request, progress);
            note =
                u"已生成可搜索 PDF。扫描页重建为图像和文字层，识别文字、批注及链接等请核对原件。"_s;
        } else if (id == u"rotate"_s) {
            rotatePages(working, pages, request);
        } else if (id == u"optimize"_s) {
            optimizeDocument(working);
        } else if (id == u"encrypt"_s) {
            encryptDocument(working, request);
        } else if (id == u"decrypt"_s) {
            decryptDocument(working);
        }
        writeDocument(staged, working);
        if (id == u"optimize"_s && QFileInfo(staged).size() >= totalBytes)
            note = u"文档已优化，但大小未减小；原文档可能已充分压缩。"_s;
    }

    const QString name = outputBaseName(*operation, inputs) + u'-' + operation->shortName;
    const QString published = publishResult(staged, outputFolder, name, split);
    if (published.isEmpty())
        fail(u"无法保存结果，原文件和已有结果均未覆盖。"_s);
    return successResult(published, files, note);
}

} // namespace

QJsonObject processRequest(const QJsonObject& request, const ProgressCallback& progress,
                           Recognizer recognizer)
{
    try {
        return runJob(request, progress, recognizer);
    } catch (const std::exception& error) {
        return failureResult(QString::fromUtf8(error.what()));
    } catch (...) {
        return failureResult(u"处理发生异常，原文件未改变。"_s);
    }
}

} // namespace batch
