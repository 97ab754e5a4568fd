// The "ocr" operation inside the worker: an unencrypted working copy goes
// through one recognition thread; a PDF result gets the source's protection back.
#include "ocr/ocr.h"

#include "ocr/ocrworker.h"

#include "engine/platformfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <qpdf/QPDF.hh>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

OcrOutput outputKind(const QString& output)
{
    if (output == u"docx"_s)
        return Docx;
    return output == u"rebuilt"_s ? RebuiltPdf : SearchablePdf;
}

} // namespace

Recognition recognize(const PdfDocument& document, const QString& stagingFolder,
                      const OcrRequest& request, const ProgressCallback& progress)
{
    const QString message = validateOcrOptions(request);
    if (!message.isEmpty())
        fail(message);
    if (!document.allows(Permission::CopyContent) || !document.allows(Permission::Modify))
        fail(u"文档权限不允许识别和添加文字层。"_s);
    // Recognition rewrites pages; fields would lose their widgets' place.
    // An empty form, as many producers write, has nothing to lose.
    if (document.hasFormFields())
        fail(u"文档带有可填写的表单。文字识别会改写页面，表单无法保留，因此未处理。"
             u"可先将它“打印”为新的 PDF（填写的内容随页面保留），再识别新文件。"_s);

    // The working copy is decrypted: it lives in a file the system removes
    // with this process, however the process ends. The recognised document,
    // decrypted too, never sits beside the user's files but in a folder only
    // this user can open, outside the output folder, removed on every way
    // out; its lock tells a later job's sweep when its owner has died.
    QTemporaryDir privateFolder(privateWorkBase() + u'/' + privateOcrPrefix + u"XXXXXX"_s);
    FileLock privateLock;
    if (!privateFolder.isValid() ||
        !privateLock.tryLock(QDir(privateFolder.path()).filePath(u".lock"_s)))
        fail(u"无法创建文字识别的临时文件夹："_s + privateFolder.errorString());
    const QDir staging(privateFolder.path());
    SecretFile source;
    if (!source.create(staging.path()))
        fail(u"无法准备 OCR 临时输入："_s + source.failure());
    const QString sourcePath = source.path();
    PdfDocument workingCopy = document;
    workingCopy.removeProtection();
    writeDocument(sourcePath, workingCopy, u"无法准备 OCR 临时输入："_s);

    const OcrOutput kind = outputKind(request.output);
    OcrOptions options;
    options.skipTextPages = request.skipText;
    // Skewed scans are read straight; the page itself is never turned.
    options.deskew = true;
    options.outputKind = kind;
    const QString models = QFileInfo(request.models).absoluteFilePath();
    const QString outputBase = staging.filePath(u"recognized"_s);

    bool workerSucceeded = false;
    QString workerMessage;
    QStringList pageNotes;
    bool pagesAskForReview = false;
    QString confidenceNote;
    QString languageNote;
    bool nothingRecognised = false;
    {
        OcrWorker worker(sourcePath, models, request.language, request.dpi, outputBase,
                         u"Microsoft YaHei UI"_s, std::move(options));
        int pagesDone = 0;
        int pageTotal = 0;
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
                // What became of single pages, and of the recognition as a whole,
                // goes into the result's note; the rebuilding step is progress.
                if (text.contains(u"倾斜校正"_s))
                    pageNotes.append(text.section(u'，', 0, 0));
                else if (text.contains(u"方向已自动转正"_s) || text.contains(u"按原样保留"_s) ||
                         text.contains(u"幅面过大"_s) || text.contains(u"识别超时"_s)) {
                    pageNotes.append(text.chopped(1));
                    pagesAskForReview = pagesAskForReview || text.contains(u"幅面过大"_s) ||
                                        text.contains(u"识别超时"_s);
                } else if (text.contains(u"置信度低于"_s))
                    confidenceNote = text;
                else if (text.startsWith(u"识别可信度低"_s))
                    languageNote = text;
                else if (text.startsWith(u"全部所选页面已有文字"_s))
                    nothingRecognised = true;
                else if (text.startsWith(u"OCR 完成"_s) && progress)
                    progress(pagesDone, pageTotal, text);
            },
            Qt::DirectConnection);
        QObject::connect(
            &worker, &OcrWorker::progressReady, &worker,
            [&](int completed, int total) {
                pagesDone = completed;
                pageTotal = total;
                if (progress)
                    progress(completed, total, QString());
            },
            Qt::DirectConnection);
        worker.start(QThread::InheritPriority);
        worker.wait();
    }
    if (workerMessage.isEmpty())
        workerMessage = u"文字识别未完成，未发布结果。"_s;
    if (!workerSucceeded)
        fail(workerMessage);

    Recognition recognition;
    recognition.review = pagesAskForReview || !confidenceNote.isEmpty() || !languageNote.isEmpty();
    // What became of single pages, then a warning that the language looks wrong.
    const QString pages =
        (pageNotes.isEmpty() ? QString() : pageNotes.join(u"；"_s) + u"。"_s) + languageNote;
    if (kind == Docx) {
        // The document itself is the result: it moves to the staging folder.
        recognition.file = QDir(stagingFolder).filePath(u"recognized.docx"_s);
        if (!QFile::rename(outputBase + u".docx"_s, recognition.file))
            fail(u"无法保存识别结果，未发布。"_s);
        // A Word document cannot carry a PDF's password; the owner, who alone
        // gets this far, is told rather than refused.
        recognition.note = u"已生成可编辑 Word 文档。"_s + pages + confidenceNote +
                           (document.isEncrypted()
                                ? u"源文件的密码保护不适用于 Word 文档，结果未加密，请妥善保管。"_s
                                : QString());
        return recognition;
    }

    const QString resultPath =
        kind == RebuiltPdf ? outputBase + u"-rebuilt.pdf"_s : outputBase + u".pdf"_s;
    PdfDocument result = openOwnFile(resultPath, u"识别结果无法重新打开："_s);
    if (result.pageCount() != document.pageCount())
        fail(u"识别结果页数不匹配，未发布结果。"_s);

    // The source's identifier and protection travel to the result.
    QPDFObjectHandle id = document.pdf().getTrailer().getKey("/ID");
    if (id.isArray())
        result.pdf().getTrailer().replaceKey("/ID", id.shallowCopy());
    result.copyProtectionFrom(document);
    // The source's version, unless the layer or the protection needs a later one:
    // PDF/A-2 and -3 readers want a 1.x header.
    result.setMinimumVersion(document.pdfVersion());
    const QString claim = settlePdfaClaim(result, kind == SearchablePdf && !nothingRecognised);
    recognition.document = result;
    if (kind == RebuiltPdf)
        recognition.note = u"已按段落重排生成 PDF。"_s + pages + confidenceNote + claim;
    else
        recognition.note = u"已生成可搜索 PDF。原页面保留，叠加可搜索文字层。"_s + pages + claim;
    return recognition;
}

} // namespace batch
