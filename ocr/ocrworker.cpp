#include "ocr/ocrworker.h"

#include "ocr/scriptcheck.h"

#include "ocr/export/layout.h"
#include "ocr/ocrdocument.h"
#include "ocr/pagework.h"
#include "ocr/stageclock.h"
#include "ocr/textlayer.h"
#include "protocol/request.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLocale>

#include <tesseract/baseapi.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <map>
#include <memory>

using namespace Qt::StringLiterals;

namespace batch {

#ifdef QPB_OCR_PROFILE
std::atomic<qint64> stageNanoseconds[StageCount];

void printProfile(int pages)
{
    static const char* const names[StageCount] = {"render",     "preparation", "recognition",
                                                  "text-layer", "merge",       "layout"};
    std::fprintf(stderr, "profile pages=%d", pages);
    for (int i = 0; i < StageCount; ++i)
        std::fprintf(stderr, " %s=%.3f", names[i], double(stageNanoseconds[i]) / 1e9);
    std::fprintf(stderr, "\n");
}
#endif

namespace {

// The shortest general form of a number, as in "2.25" or "-0.5".
QString shortNumber(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// "5 分钟", or "20 秒" for a limit under a minute.
QString durationText(int milliseconds)
{
    const int seconds = std::max(1, (milliseconds + 999) / 1000);
    return seconds % 60 == 0 ? u"%1 分钟"_s.arg(seconds / 60) : u"%1 秒"_s.arg(seconds);
}

// Below this mean word confidence, weighted by characters, a document's
// recognition language is likely wrong.
constexpr double lowDocumentConfidence = 45;

} // namespace

int OcrWorker::automaticLaneLimit()
{
    return grantedLanes();
}

OcrWorker::OcrWorker(QString sourcePath, QString modelsPath, QString language, int dpi,
                     QString outputBase, QString fontFamily, OcrOptions options, QObject* parent)
    : QThread(parent), m_sourcePath(std::move(sourcePath)), m_modelsPath(std::move(modelsPath)),
      m_language(std::move(language)), m_outputBase(std::move(outputBase)),
      m_fontFamily(std::move(fontFamily)), m_dpi(dpi), m_pages(std::move(options.pages)),
      m_enhanceImage(options.enhanceImage), m_skipTextPages(options.skipTextPages),
      m_deskew(options.deskew), m_outputKind(options.outputKind),
      m_pageTimeLimitMs(options.pageTimeLimitMs)
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
    // A working copy kept in memory has no suffix: its first bytes tell.
    QFile head(m_sourcePath);
    const bool isPdf =
        QFileInfo(m_sourcePath).suffix().compare(u"pdf"_s, Qt::CaseInsensitive) == 0 ||
        (head.open(QIODevice::ReadOnly) && head.read(1024).contains("%PDF-"));
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
            keep.append(document.isTextPage(index));
        }
        QStringList kept;
        for (qsizetype j = 0; j < keep.size(); ++j) {
            if (keep.at(j))
                kept << QString::number(list.at(j) + 1);
        }
        if (!kept.isEmpty())
            emit notice(u"第 %1 页已有可选文字，按原样保留。"_s.arg(kept.join(u'、')));
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
        if (!document.mergeSearchablePages(list, keep, {}, {}, finalPdf, &error)) {
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

    // 6: the first engine; a second lane starts its own when it needs it.
    std::vector<std::unique_ptr<tesseract::TessBaseAPI>> engines;
    engines.push_back(startEngine(m_modelsPath, m_language));
    if (!engines[0]) {
        emit failed(engineFailure());
        return;
    }
    const QString dataFolder = QFile::decodeName(engines[0]->GetDatapath());
    // Pages that lie sideways or upside down are turned upright when the models
    // folder has Tesseract's orientation model.
    std::unique_ptr<tesseract::TessBaseAPI> orientation;
    if (QFileInfo(QDir(dataFolder).filePath(u"osd.traineddata"_s)).isFile()) {
        orientation = startEngine(m_modelsPath, u"osd"_s);
        if (orientation)
            orientation->SetPageSegMode(tesseract::PSM_OSD_ONLY);
    }

    // 7–8: the searchable PDF's text layers are drawn in the models' pdf.ttf.
    const bool searchable = m_outputKind == SearchablePdf;
    QByteArray fontFile;
    if (searchable) {
        QFile font(QDir(dataFolder).filePath(u"pdf.ttf"_s));
        if (!font.open(QIODevice::ReadOnly) || (fontFile = font.readAll()).isEmpty()) {
            emit failed(
                u"未安装 pdf.ttf，无法生成可搜索 PDF。请重新安装本程序，或选择其他输出格式。"_s);
            return;
        }
    }

    // Pages to recognise, in list order. Pipelined, the k-th goes to lane
    // k % lanes and pages are prepared one ahead of the lanes, one after
    // another on a view of the document of their own (a Poppler document
    // serves one thread at a time).
    QList<int> queue;
    std::vector<int> queueIndex(static_cast<size_t>(total), -1);
    for (int j = 0; j < total; ++j) {
        if (!anyKept || !keep.at(j)) {
            queueIndex[static_cast<size_t>(j)] = static_cast<int>(queue.size());
            queue.append(j);
        }
    }
    QList<int> queuedPages;
    for (const int position : queue)
        queuedPages.append(list.at(position));
    const QList<double> pictureDpis =
        isPdf ? document.pictureDpis(queuedPages) : QList<double>(queue.size(), 0.0);
    const int laneLimit = m_lanes > 0 ? m_lanes : automaticLaneLimit();
    const int laneCount = int(std::clamp<qsizetype>(queue.size(), 1, std::max(1, laneLimit)));
    m_lanesUsed = laneCount;
    engines.resize(static_cast<size_t>(laneCount));
    std::unique_ptr<OcrDocument> ownView;
    const OcrDocument* view = isPdf ? &document : nullptr;
    if (isPdf && laneCount > 1) {
        ownView = std::make_unique<OcrDocument>();
        if (!ownView->load(m_sourcePath)) {
            emit failed(u"无法打开 PDF。请检查文件是否损坏、加密或受密码保护。"_s);
            return;
        }
        view = ownView.get();
    }
    const PageSettings settings{.dpi = m_dpi,
                                .deskew = m_deskew,
                                .enhance = m_enhanceImage,
                                .rebuilding = m_outputKind == RebuiltPdf || m_outputKind == Docx,
                                .searchable = searchable,
                                .orientation = orientation.get(),
                                .timeLimitMs = m_pageTimeLimitMs,
                                .sampleChinese = !otherChineseScript().isEmpty()};
    const auto prepare = [&](qsizetype k) {
        return preparePage(view, list.at(queue.at(k)), sourceImage, pictureDpis.at(k), settings,
                           cancelTest);
    };
    const auto recognizeOnLane = [&, this](int lane, const PreparedPage& page, int position) {
        std::unique_ptr<tesseract::TessBaseAPI>& engine = engines[static_cast<size_t>(lane)];
        if (!engine)
            engine = startEngine(m_modelsPath, m_language);
        if (!engine) {
            PageResult result;
            result.failure = engineFailure();
            return result;
        }
        return recognizePreparedPage(*engine, page, list.at(position), settings, cancelTest);
    };

    std::vector<std::shared_future<PreparedPage>> preparations(static_cast<size_t>(queue.size()));
    std::map<int, std::future<PageResult>> recognitions;
    qsizetype prepared = 0;
    qsizetype launched = 0;
    const auto prepareNext = [&] {
        if (laneCount < 2 || prepared >= queue.size())
            return;
        const qsizetype k = prepared++;
        const std::shared_future<PreparedPage> previous =
            k > 0 ? preparations[static_cast<size_t>(k - 1)] : std::shared_future<PreparedPage>();
        preparations[static_cast<size_t>(k)] =
            std::async(std::launch::async, [&prepare, previous, k] {
                if (previous.valid())
                    previous.wait();
                return prepare(k);
            }).share();
    };
    const auto recognizeNext = [&] {
        if (laneCount < 2 || launched >= queue.size())
            return;
        const qsizetype k = launched++;
        const int position = queue.at(k);
        const std::shared_future<PreparedPage> page = preparations[static_cast<size_t>(k)];
        recognitions.emplace(position, std::async(std::launch::async, [&recognizeOnLane, page, k,
                                                                       position, laneCount] {
                                 return recognizeOnLane(int(k % laneCount), page.get(), position);
                             }));
    };
    for (int l = 0; l <= laneCount; ++l)
        prepareNext();
    for (int l = 0; l < laneCount; ++l)
        recognizeNext();

    // 9: the page loop; results are taken and reported strictly in list order.
    int completed = 0;
    int lowConfidenceLines = 0;
    // Characters recognised and their confidence, summed over the pages.
    double confidenceSum = 0;
    double recognisedCharacters = 0;
    QImage chineseSample;
    int chineseSampleDpi = 0;
    QList<PageLayout> layouts;
    QList<TextLayer> layers;
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

        const qsizetype k = queueIndex[static_cast<size_t>(j)];
        PageResult result;
        if (laneCount == 1) {
            result = recognizeOnLane(0, prepare(k), j);
        } else {
            auto found = recognitions.find(j);
            result = found->second.get();
            recognitions.erase(found);
            preparations[static_cast<size_t>(k)] = {};
        }
        tesseract::TessBaseAPI* engine = engines[static_cast<size_t>(k % laneCount)].get();
        if (result.turn != 0)
            emit notice(u"第 %1 页方向已自动转正。"_s.arg(number));
        if (result.timedOut)
            emit notice(u"第 %1 页识别超时（超过 %2），未加文字。"_s.arg(number).arg(
                durationText(m_pageTimeLimitMs)));
        if (result.loweredDpi != 0)
            emit notice(
                u"第 %1 页幅面过大，已按 %2 DPI 识别。"_s.arg(number).arg(result.loweredDpi));
        if (result.deskewAngle != 0) {
            emit notice((searchable ? u"第 %1 页倾斜校正 %2°，文字层按校正后的文字行写入原页面。"_s
                                    : u"第 %1 页倾斜校正 %2°，输出与文字层使用相同坐标。"_s)
                            .arg(QString::number(number), shortNumber(result.deskewAngle)));
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
        if (chineseSample.isNull() && !result.chineseSample.isNull()) {
            chineseSample = result.chineseSample;
            chineseSampleDpi = result.chineseSampleDpi;
        }
        emit pageReady(number, total, result.text);
        const double characters = double(result.text.simplified().size());
        confidenceSum += characters * result.confidence;
        recognisedCharacters += characters;

        if (settings.rebuilding) {
            lowConfidenceLines += result.layout.lowConfidenceLines;
            layouts.append(std::move(result.layout));
        }
        if (searchable)
            layers.append(std::move(result.layer));
        emit progressReady(++completed, total);
        engine->Clear();
        recognizeNext();
        prepareNext();
    }

    // 10–11: the source's pages, the recognised ones with their text layers.
    if (interrupted())
        return;
    if (searchable) {
        QString error;
        QPB_STAGE(MergeStage);
        const bool written =
            isPdf ? document.mergeSearchablePages(list, anyKept ? keep : QList<bool>(total, false),
                                                  layers, fontFile, finalPdf, &error)
                  : writeSearchablePicture(sourceImage, QSizeF(sourceImage.size()) * 72.0 / m_dpi,
                                           layers.value(0), fontFile, finalPdf, &error);
        if (!written) {
            emit failed(anyKept ? u"文字页与识别页合并失败：%1"_s.arg(error)
                                : u"PDF 保存失败，请检查磁盘空间。已完成的文字仍可导出。"_s);
            return;
        }
    }

    // 12: the editable outputs.
    if (settings.rebuilding) {
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
    // A wrong language reads as garbage of low confidence: English on a
    // Chinese scan averages about 11, the right models about 90.
    if (recognisedCharacters > 0 && confidenceSum / recognisedCharacters < lowDocumentConfidence)
        emit notice(u"识别可信度低，请检查识别语言。"_s);
    else if (!chineseSample.isNull())
        compareChineseScripts(*engines[0], chineseSample, chineseSampleDpi);
    if (settings.rebuilding && lowConfidenceLines > 0)
        emit notice(u"有 %1 行的 OCR 置信度低于 65，建议核对原件。"_s.arg(lowConfidenceLines));
    else if (!settings.rebuilding)
        emit notice(u"已完成 %1 页识别。"_s.arg(total));
    printProfile(total);
    emit succeeded();
}

QString OcrWorker::otherChineseScript() const
{
    const QStringList chosen = m_language.split(u'+');
    const bool simplified = chosen.contains(u"chi_sim"_s);
    const bool traditional = chosen.contains(u"chi_tra"_s);
    if (simplified == traditional)
        return QString();
    QString language = m_language;
    return language.replace(simplified ? u"chi_sim"_s : u"chi_tra"_s,
                            simplified ? u"chi_tra"_s : u"chi_sim"_s);
}

// A page of one script read with the other's model keeps its confidence
// near 90 and a third of its characters wrong: where the other model is
// installed, a few lines tell which reads better.
void OcrWorker::compareChineseScripts(tesseract::TessBaseAPI& engine, const QImage& sample, int dpi)
{
    const QString other = otherChineseScript();
    const bool toTraditional = other.contains(u"chi_tra"_s);
    const QString model = toTraditional ? u"chi_tra"_s : u"chi_sim"_s;
    if (!QFileInfo(
             QDir(QFile::decodeName(engine.GetDatapath())).filePath(model + u".traineddata"_s))
             .isFile())
        return;
    const std::unique_ptr<tesseract::TessBaseAPI> otherEngine = startEngine(m_modelsPath, other);
    if (!otherEngine || !otherScriptReadsBetter(engine, *otherEngine, sample, dpi))
        return;
    const QString name = toTraditional ? u"繁体中文"_s : u"简体中文"_s;
    emit notice(
        u"识别可信度低：本文件用%1模型识别更准确，建议把识别语言改为%1后重新识别。"_s.arg(name));
}

} // namespace batch
