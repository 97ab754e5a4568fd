// The "ocr" operation inside the worker: an unencrypted working copy goes
// through one recognition thread; the result gets the source's protection back.
#include "ocr/ocr.h"

#include "ocr/ocrworker.h"

#include <QDir>
#include <QFileInfo>

#include <qpdf/QPDF.hh>

using namespace Qt::StringLiterals;

namespace batch {

PdfDocument recognize(const PdfDocument& document, const QString& stagingFolder,
                      const OcrRequest& request, const ProgressCallback& progress, QString& note)
{
    const QString message = validateOcrOptions(request);
    if (!message.isEmpty())
        fail(message);
    if (!document.allows(Permission::CopyContent) || !document.allows(Permission::Modify))
        fail(u"文档权限不允许识别和添加文字层。"_s);
    if (document.hasAcroForm())
        fail(u"首版批量文字识别暂不支持交互表单，请先在编辑器中处理表单。"_s);

    const QDir staging(stagingFolder);
    const QString sourcePath = staging.filePath(u"ocr-source.pdf"_s);
    PdfDocument workingCopy = document;
    workingCopy.removeProtection();
    writeDocument(sourcePath, workingCopy, u"无法准备 OCR 临时输入："_s);

    OcrOptions options;
    options.skipTextPages = request.skipText;
    // Skewed scans are read straight; the page itself is never turned.
    options.deskew = true;
    const QString models = QFileInfo(request.models).absoluteFilePath();
    const QString outputBase = staging.filePath(u"recognized"_s);

    bool workerSucceeded = false;
    QString workerMessage;
    QStringList straightened;
    QStringList turnedPages;
    {
        OcrWorker worker(sourcePath, models, request.language, request.dpi, outputBase,
                         u"Microsoft YaHei UI"_s, std::move(options));
        // Direct connections: the handlers run on the worker thread while this
        // thread waits, and are read only after wait() has returned.
        QObject::connect(
            &worker, &OcrWorker::succeeded, &worker, [&] { workerSucceeded = true; },
            Qt::DirectConnection);
        QObject::connect(
            &worker, &OcrWorker::failed, &worker,
            [&](const QString& text) { workerMessage = text; }, Qt::DirectConnection);
        QObject::connect(
            &worker, &OcrWorker::cancelled, &worker,
            [&] { workerMessage = u"识别已取消，未发布结果。"_s; }, Qt::DirectConnection);
        QObject::connect(
            &worker, &OcrWorker::notice, &worker,
            [&](const QString& text) {
                // "第 %1 页倾斜校正 %2°，…" and "第 %1 页方向已自动转正。": the
                // pages and what was done go into the note.
                if (text.contains(u"倾斜校正"_s))
                    straightened.append(text.section(u'，', 0, 0));
                else if (text.contains(u"方向已自动转正"_s))
                    turnedPages.append(text.chopped(1));
            },
            Qt::DirectConnection);
        QObject::connect(
            &worker, &OcrWorker::progressReady, &worker,
            [&](int completed, int total) {
                if (progress)
                    progress(completed, total);
            },
            Qt::DirectConnection);
        worker.start(QThread::InheritPriority);
        worker.wait();
    }
    if (workerMessage.isEmpty())
        workerMessage = u"文字识别未完成，未发布结果。"_s;
    if (!workerSucceeded)
        fail(workerMessage);

    PdfDocument result = openOwnFile(outputBase + u".pdf"_s, u"识别结果无法重新打开："_s);
    if (result.pageCount() != document.pageCount())
        fail(u"识别结果页数不匹配，未发布结果。"_s);

    // The source's identifier and protection travel to the result.
    QPDFObjectHandle id = document.pdf().getTrailer().getKey("/ID");
    if (id.isArray())
        result.pdf().getTrailer().replaceKey("/ID", id.shallowCopy());
    result.copyProtectionFrom(document);
    result.setMinimumVersion("2.0");
    note = u"已生成可搜索 PDF。原页面保留，叠加可搜索文字层。"_s;
    if (!turnedPages.isEmpty())
        note += turnedPages.join(u"；"_s) + u"。"_s;
    if (!straightened.isEmpty())
        note += straightened.join(u"；"_s) + u"，文字按校正后的行写入。"_s;
    return result;
}

} // namespace batch
