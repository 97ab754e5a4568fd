#include "ocr/ocrworker.h"

#include "ocr/export/layout.h"
#include "ocr/ocrdocument.h"
#include "ocr/pageimage.h"
#include "ocr/textlayer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLocale>

#include <tesseract/baseapi.h>
#include <tesseract/renderer.h>

#include <QElapsedTimer>

#include <atomic>
#include <cstdio>
#include <future>
#include <map>
#include <memory>

using namespace Qt::StringLiterals;

namespace batch {

// One recognition lane: its own engine, its own view of the document (Poppler
// documents are not shared between threads) and its own page picture file.
struct Lane
{
    std::unique_ptr<OcrDocument> document;
    std::unique_ptr<tesseract::TessBaseAPI> engine;
    QString pngPath;
};

// What recognising one page produced; reported by the run in list order.
struct PageResult
{
    QString failure;
    bool cancelled = false;
    double deskewAngle = 0;
    QString text;
    PageLayout layout;
    bool pngSaved = false;
};

namespace {

// Built with QPB_OCR_PROFILE, the run prints where its time went to standard
// error (for bench/ocr.sh); otherwise the clock compiles to nothing.
#ifdef QPB_OCR_PROFILE
std::atomic<qint64> stageNanoseconds[8];
const char* const stageNames[8] = {"render",       "preparation", "recognition", "png",
                                   "pdf-renderer", "text-layer",  "merge",       "layout"};
struct StageClock
{
    explicit StageClock(int stage) : m_stage(stage) { m_timer.start(); }
    ~StageClock() { stageNanoseconds[m_stage] += m_timer.nsecsElapsed(); }
    int m_stage;
    QElapsedTimer m_timer;
};
void printProfile(int pages)
{
    std::fprintf(stderr, "profile pages=%d", pages);
    for (int i = 0; i < 8; ++i)
        std::fprintf(stderr, " %s=%.3f", stageNames[i], double(stageNanoseconds[i]) / 1e9);
    std::fprintf(stderr, "\n");
}
#define QPB_STAGE(n) const StageClock stageClock##__LINE__(n)
#else
#define QPB_STAGE(n)
void printProfile(int) {}
#endif

struct TextDeleter
{
    void operator()(char* text) const { delete[] text; }
};
using TesseractText = std::unique_ptr<char, TextDeleter>;

QString pageMessage(const QString& pattern, int number)
{
    return pattern.arg(number);
}

std::unique_ptr<tesseract::TessBaseAPI> startEngine(const QString& modelsPath,
                                                    const QString& language)
{
    auto engine = std::make_unique<tesseract::TessBaseAPI>();
    const QByteArray dataPath = QFile::encodeName(modelsPath);
    if (engine->Init(dataPath.isEmpty() ? nullptr : dataPath.constData(),
                     language.toUtf8().constData(), tesseract::OEM_DEFAULT, nullptr, 0, nullptr,
                     nullptr, false) != 0)
        return nullptr;
    engine->SetPageSegMode(tesseract::PSM_AUTO);
    return engine;
}

QString engineFailure()
{
    return u"OCR 初始化失败。请指定 tessdata 文件夹，并检查所选语言的 traineddata 文件。"_s;
}

// The shortest general form of a number, as in "2.25" or "-0.5".
QString shortNumber(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

} // namespace

OcrWorker::OcrWorker(QString sourcePath, QString modelsPath, QString language, int dpi,
                     QString outputBase, QString fontFamily, OcrOptions options, QObject* parent)
    : QThread(parent), m_sourcePath(std::move(sourcePath)), m_modelsPath(std::move(modelsPath)),
      m_language(std::move(language)), m_outputBase(std::move(outputBase)),
      m_fontFamily(std::move(fontFamily)), m_dpi(dpi), m_pages(std::move(options.pages)),
      m_enhanceImage(options.enhanceImage), m_skipTextPages(options.skipTextPages),
      m_deskew(options.deskew), m_outputKind(options.outputKind)
{}

void OcrWorker::run()
{
    const CancelTest cancelTest = [this] {
        return isInterruptionRequested();
    };
    const auto interrupted = [this] {
        if (!isInterruptionRequested())
            return false;
        emit cancelled();
        return true;
    };

    // 1–2: open the source.
    const bool isPdf = QFileInfo(m_sourcePath).suffix().compare(u"pdf"_s, Qt::CaseInsensitive) == 0;
    OcrDocument document;
    QImage sourceImage;
    int pageCount = 1;
    if (isPdf) {
        if (!document.load(m_sourcePath)) {
            emit failed(u"无法打开 PDF。请检查文件是否损坏、加密或受密码保护。"_s);
            return;
        }
        pageCount = document.pageCount();
        if (pageCount <= 0) {
            emit failed(u"PDF 没有可读取的页面。"_s);
            return;
        }
    } else {
        QImageReader reader(m_sourcePath);
        reader.setAutoTransform(true);
        const QSize size = reader.size();
        if (!size.isValid() || size.width() > maxImageSide || size.height() > maxImageSide ||
            qint64(size.width()) * size.height() > maxImagePixels) {
            emit failed(u"扫描图片尺寸无效或超过 4000 万像素，请先缩小图片。"_s);
            return;
        }
        sourceImage = reader.read();
        if (sourceImage.isNull()) {
            emit failed(u"扫描图片读取失败：%1"_s.arg(reader.errorString()));
            return;
        }
    }

    // 3: the page list.
    QList<int> list = m_pages;
    if (list.isEmpty()) {
        for (int index = 0; index < pageCount; ++index)
            list.append(index);
    }
    for (const int index : list) {
        if (index < 0 || index >= pageCount) {
            emit failed(u"页码超出文档范围。"_s);
            return;
        }
    }
    const int total = static_cast<int>(list.size());

    // 4: pages that already carry text are kept as they are.
    QList<bool> keep;
    if (isPdf && m_skipTextPages && m_outputKind == SearchablePdf) {
        for (const int index : list) {
            if (interrupted())
                return;
            keep.append(document.hasPageText(index));
        }
        const auto kept = keep.count(true);
        if (kept > 0)
            emit notice(u"检测到 %1 页已有可选文字，将保留原页面并仅识别图像页。"_s.arg(kept));
        else
            keep.clear();
    }
    const bool anyKept = !keep.isEmpty();
    const QString finalPdf = m_outputBase + u".pdf"_s;

    // 5: nothing to recognise.
    if (anyKept && !keep.contains(false)) {
        if (interrupted())
            return;
        QString error;
        if (!document.mergeSearchablePages(list, keep, QString(), finalPdf, &error)) {
            emit failed(error);
            return;
        }
        for (int j = 0; j < total; ++j) {
            QString text;
            document.hasPageText(list.at(j), &text);
            emit pageReady(list.at(j) + 1, total, text);
            emit progressReady(j + 1, total);
        }
        emit notice(u"全部所选页面已有文字，已保留原页面，无需 OCR。"_s);
        emit succeeded();
        return;
    }

    // 6: the engine of the first lane; further lanes start their own when needed.
    std::vector<Lane> lanes(1);
    lanes[0].engine = startEngine(m_modelsPath, m_language);
    if (!lanes[0].engine) {
        emit failed(engineFailure());
        return;
    }
    const QString dataFolder = QFile::decodeName(lanes[0].engine->GetDatapath());

    // 7–8: the PDF renderer writes the recognised pages.
    const QString pdfBase = anyKept ? m_outputBase + u"-recognized"_s : m_outputBase;
    std::unique_ptr<tesseract::TessPDFRenderer> renderer;
    if (m_outputKind == SearchablePdf) {
        if (!QFileInfo(QDir(dataFolder).filePath(u"pdf.ttf"_s)).isFile()) {
            emit failed(
                u"未安装 pdf.ttf，无法生成可搜索 PDF。请选择其他输出类型或修复编辑器安装。"_s);
            return;
        }
        renderer = std::make_unique<tesseract::TessPDFRenderer>(
            QFile::encodeName(pdfBase).constData(), lanes[0].engine->GetDatapath(), false);
        if (!renderer->BeginDocument("OCR document")) {
            emit failed(u"无法创建 PDF 临时文件，请检查临时目录权限和 pdf.ttf。"_s);
            return;
        }
    }

    // Pages to recognise, in list order; with two lanes, page k goes to lane k % 2.
    QList<int> queue;
    for (int j = 0; j < total; ++j) {
        if (!anyKept || !keep.at(j))
            queue.append(j);
    }
    const int laneCount =
        m_pipelined && queue.size() >= 2 && QThread::idealThreadCount() >= 2 ? 2 : 1;
    std::vector<int> laneOf(static_cast<size_t>(total), 0);
    for (qsizetype k = 0; k < queue.size(); ++k)
        laneOf[static_cast<size_t>(queue.at(k))] = static_cast<int>(k % laneCount);
    lanes.resize(static_cast<size_t>(laneCount));
    for (size_t l = 0; l < lanes.size(); ++l) {
        Lane& lane = lanes[l];
        lane.pngPath =
            l == 0 ? m_outputBase + u"-page.png"_s : m_outputBase + u"-page-%1.png"_s.arg(l + 1);
        if (isPdf) {
            lane.document = std::make_unique<OcrDocument>();
            if (!lane.document->load(m_sourcePath)) {
                emit failed(u"无法打开 PDF。请检查文件是否损坏、加密或受密码保护。"_s);
                return;
            }
        }
    }
    const bool rebuilding = m_outputKind == RebuiltPdf || m_outputKind == Docx;
    const bool writePng = renderer != nullptr;
    const auto work = [&, this](int position) {
        Lane& lane = lanes[static_cast<size_t>(laneOf[static_cast<size_t>(position)])];
        return recognizePage(lane, list.at(position), isPdf, sourceImage, rebuilding, writePng);
    };
    // Futures are declared after the lanes, so they are waited for before a lane goes.
    std::map<int, std::future<PageResult>> pending;
    qsizetype launched = 0;
    const auto launchNext = [&] {
        if (laneCount < 2 || launched >= queue.size())
            return;
        const int position = queue.at(launched++);
        pending.emplace(position, std::async(std::launch::async, work, position));
    };
    for (int l = 0; l < laneCount; ++l)
        launchNext();

    // 9: the page loop; results are taken and reported strictly in list order.
    int completed = 0;
    int lowConfidenceLines = 0;
    QList<PageLayout> layouts;
    for (int j = 0; j < total; ++j) {
        const int index = list.at(j);
        const int number = index + 1;
        if (interrupted())
            return;
        if (anyKept && keep.at(j)) {
            QString text;
            document.hasPageText(index, &text);
            emit pageReady(number, total, text);
            emit progressReady(++completed, total);
            continue;
        }
        if (interrupted())
            return;

        PageResult result;
        if (laneCount == 1) {
            result = work(j);
        } else {
            auto found = pending.find(j);
            result = found->second.get();
            pending.erase(found);
        }
        Lane& lane = lanes[static_cast<size_t>(laneOf[static_cast<size_t>(j)])];
        if (result.deskewAngle != 0) {
            emit notice(u"第 %1 页倾斜校正 %2°，输出与文字层使用相同坐标。"_s.arg(
                QString::number(number), shortNumber(result.deskewAngle)));
        }
        if (!result.failure.isEmpty()) {
            emit failed(result.failure);
            return;
        }
        if (result.cancelled || interrupted()) {
            if (result.cancelled)
                emit cancelled();
            return;
        }
        emit pageReady(number, total, result.text);

        if (rebuilding) {
            lowConfidenceLines += result.layout.lowConfidenceLines;
            layouts.append(std::move(result.layout));
        }
        if (renderer) {
            if (!result.pngSaved) {
                emit failed(u"无法保存页面临时图像。"_s);
                return;
            }
            QPB_STAGE(4);
            lane.engine->SetInputName(QFile::encodeName(lane.pngPath).constData());
            if (!renderer->AddImage(lane.engine.get())) {
                emit failed(
                    pageMessage(u"第 %1 页写入 PDF 失败。已完成的文字仍可导出。"_s, number));
                return;
            }
            QFile::remove(lane.pngPath);
        }
        emit progressReady(++completed, total);
        lane.engine->Clear();
        launchNext();
    }

    // 10: close the recognised PDF.
    if (interrupted())
        return;
    if (renderer) {
        if (!renderer->EndDocument()) {
            emit failed(u"PDF 保存失败，请检查磁盘空间。已完成的文字仍可导出。"_s);
            return;
        }
        renderer.reset();
        QString error;
        QPB_STAGE(5);
        if (!joinCjkWords(pdfBase + u".pdf"_s, &error)) {
            emit failed(u"PDF 保存失败，请检查磁盘空间。已完成的文字仍可导出。"_s);
            return;
        }
    }

    // 11: bring kept text pages and recognised pages together.
    if (anyKept) {
        QString error;
        QPB_STAGE(6);
        if (!document.mergeSearchablePages(list, keep, pdfBase + u".pdf"_s, finalPdf, &error)) {
            emit failed(u"文字页与识别页合并失败：%1"_s.arg(error));
            return;
        }
        QFile::remove(pdfBase + u".pdf"_s);
    }

    // 12: the editable outputs.
    if (rebuilding) {
        emit notice(u"OCR 完成，正在按段落、坐标和字号重建输出…"_s);
        QString error;
        const bool written =
            m_outputKind == RebuiltPdf
                ? writeRebuiltPdf(layouts, m_outputBase + u"-rebuilt.pdf"_s, m_fontFamily,
                                  cancelTest, error)
                : writeDocx(layouts, m_outputBase + u".docx"_s, m_fontFamily, cancelTest, error);
        if (!written) {
            if (isInterruptionRequested())
                emit cancelled();
            else
                emit failed(u"版面重建失败：%1。已识别文字仍可导出 TXT。"_s.arg(error));
            return;
        }
    }

    // 13: done.
    if (interrupted())
        return;
    if (rebuilding)
        emit notice(u"有 %1 行的 OCR 置信度低于 65，建议核对原件。"_s.arg(lowConfidenceLines));
    else
        emit notice(u"已完成 %1 页识别。"_s.arg(total));
    printProfile(total);
    emit succeeded();
}

PageResult OcrWorker::recognizePage(Lane& lane, int index, bool isPdf, const QImage& sourceImage,
                                    bool rebuilding, bool writePng) const
{
    PageResult result;
    const int number = index + 1;
    if (!lane.engine) {
        lane.engine = startEngine(m_modelsPath, m_language);
        if (!lane.engine) {
            result.failure = engineFailure();
            return result;
        }
    }
    const QSizeF points =
        isPdf ? lane.document->pageSize(index) : QSizeF(sourceImage.size()) * 72.0 / m_dpi;
    QSize pixels;
    if (!pagePixelSize(points, m_dpi, pixels)) {
        result.failure =
            pageMessage(u"第 %1 页尺寸过大或无效，请降低 DPI。已完成的文字仍可导出。"_s, number);
        return result;
    }
    QImage pageImage;
    {
        QPB_STAGE(0);
        pageImage = isPdf ? lane.document->render(index, pixels) : sourceImage;
    }
    if (pageImage.isNull()) {
        result.failure = pageMessage(u"第 %1 页渲染失败。"_s, number);
        return result;
    }
    {
        QPB_STAGE(1);
        pageImage = flattenPageImage(pageImage);
    }
    const CancelTest cancelTest = [this] {
        return isInterruptionRequested();
    };
    if (m_deskew) {
        QPB_STAGE(1);
        const DeskewResult straightened = deskewImage(pageImage, cancelTest);
        pageImage = straightened.image;
        result.deskewAngle = straightened.angle;
    }
    if (isInterruptionRequested()) {
        result.cancelled = true;
        return result;
    }
    // Tesseract recognises a neutral grey page given as one byte per pixel exactly
    // as it does the same page in RGB, and a quarter faster: it converts and
    // thresholds one channel instead of three.
    QImage pageGrey;
    {
        QPB_STAGE(1);
        pageGrey = neutralGreyImage(pageImage);
    }
    QImage recognitionImage = pageGrey.isNull() ? pageImage : pageGrey;
    if (m_enhanceImage) {
        QPB_STAGE(1);
        std::optional<QImage> enhanced = enhanceForRecognition(pageImage, cancelTest);
        if (!enhanced) {
            result.cancelled = true;
            return result;
        }
        const QImage enhancedGrey = neutralGreyImage(*enhanced);
        recognitionImage = enhancedGrey.isNull() ? *enhanced : enhancedGrey;
    }

    tesseract::TessBaseAPI& engine = *lane.engine;
    int recognized = 0;
    {
        QPB_STAGE(2);
        const int bytesPerPixel = recognitionImage.format() == QImage::Format_Grayscale8 ? 1 : 3;
        engine.SetImage(recognitionImage.constBits(), recognitionImage.width(),
                        recognitionImage.height(), bytesPerPixel,
                        static_cast<int>(recognitionImage.bytesPerLine()));
        engine.SetSourceResolution(m_dpi);
        recognized = engine.Recognize(nullptr);
    }
    if (recognized != 0) {
        result.failure = pageMessage(u"第 %1 页识别失败。"_s, number);
        return result;
    }
    const TesseractText text(engine.GetUTF8Text());
    if (!text) {
        result.failure = pageMessage(u"第 %1 页无法取得识别结果。"_s, number);
        return result;
    }
    if (isInterruptionRequested()) {
        result.cancelled = true;
        return result;
    }
    result.text = QString::fromUtf8(text.get());
    if (rebuilding) {
        QPB_STAGE(7);
        result.layout = reconstructPage(engine, pageImage, points);
    }
    if (writePng) {
        QPB_STAGE(3);
        // Tesseract's renderer embeds the PNG's compressed data as it is, so the
        // file's compression is the output's: default level (level 9 measured
        // 1 % smaller and 13 % slower).
        const QImage compact = pageGrey.isNull() ? pageImage : compactGreyImage(pageGrey);
        result.pngSaved = compact.save(lane.pngPath, "PNG");
    }
    return result;
}

} // namespace batch
