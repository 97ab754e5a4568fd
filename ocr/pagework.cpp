#include "ocr/pagework.h"

#include "engine/platformfs.h"
#include "ocr/ocrdocument.h"
#include "ocr/pageimage.h"
#include "ocr/pagepicture.h"
#include "ocr/stageclock.h"

#include <QFile>
#include <QTransform>

#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

struct TextDeleter
{
    void operator()(char* text) const { delete[] text; }
};
using TesseractText = std::unique_ptr<char, TextDeleter>;

QString pageMessage(const QString& pattern, int index)
{
    return pattern.arg(index + 1);
}

// Scans are recognised from about this many pixels a text line: the models
// read Chinese best there (1.2 % errors on the bench scans against 1.8 % at
// their own 46), and English equally well from 15 to 46.
constexpr double targetLinePixels = 30;
// Below this, lines read better from a picture enlarged by up to two (Chinese
// 5.4 % errors at 11 pixels, 2.6 % enlarged twice; English 0.6 % and 0.2 %).
constexpr double smallLinePixels = 14;
// Text size and orientation are judged on a rendering of at most this resolution.
constexpr double previewDpi = 150;
// Tesseract's orientation confidence below which a page is left as it is. On
// the bench scans at 150 DPI every page's orientation was found, with
// confidences from 11 (Chinese upside down) to 28 (English); pictures without
// text score below 5. A wrong turn costs more than a missed one.
constexpr float minimumOrientationConfidence = 9;

QImage turned(const QImage& image, int degrees)
{
    return degrees == 0 ? image : image.transformed(QTransform().rotate(degrees));
}

// The page image at `dpi`: from the scan's own pixels when they could be
// decoded, else rendered; null when it cannot be made.
QImage pageAt(const OcrDocument* document, int index, const QImage& sourceImage,
              const PagePicture& picture, const QSizeF& points, double dpi, double sourceDpi)
{
    QSize pixels;
    if (!pagePixelSize(points, dpi, pixels))
        return {};
    QPB_STAGE(RenderStage);
    if (!picture.pixels.isNull())
        return pictureAt(picture, points, pixels);
    if (document)
        return document->render(index, pixels);
    return dpi == sourceDpi
               ? sourceImage
               : sourceImage.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace

namespace {

// Tesseract opens its models by narrow names, which Windows reads in the ANSI
// code page, losing every character outside it: a models folder under a
// Chinese user name would not open. It reads them through this instead.
bool readModelFile(const char* name, std::vector<char>* data)
{
    QFile file(fromLibraryPath(name));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    data->resize(size_t(size));
    return file.read(data->data(), size) == size;
}

} // namespace

bool initEngine(tesseract::TessBaseAPI& engine, const QString& modelsPath, const QString& language)
{
    const QByteArray dataPath = libraryPath(modelsPath);
    return engine.Init(dataPath.isEmpty() ? nullptr : dataPath.constData(), 0,
                       language.toUtf8().constData(), tesseract::OEM_DEFAULT, nullptr, 0, nullptr,
                       nullptr, false, readModelFile) == 0;
}

std::unique_ptr<tesseract::TessBaseAPI> startEngine(const QString& modelsPath,
                                                    const QString& language)
{
    auto engine = std::make_unique<tesseract::TessBaseAPI>();
    if (!initEngine(*engine, modelsPath, language))
        return nullptr;
    engine->SetPageSegMode(tesseract::PSM_AUTO);
    return engine;
}

QString engineFailure()
{
    return u"OCR 初始化失败。请指定 tessdata 文件夹，并检查所选语言的 traineddata 文件。"_s;
}

int uprightTurn(tesseract::TessBaseAPI& orientation, const QImage& grey, int dpi)
{
    orientation.SetImage(grey.constBits(), grey.width(), grey.height(), 1,
                         static_cast<int>(grey.bytesPerLine()));
    orientation.SetSourceResolution(dpi);
    int degrees = 0;
    float confidence = 0;
    const char* script = nullptr;
    float scriptConfidence = 0;
    const bool found =
        orientation.DetectOrientationScript(&degrees, &confidence, &script, &scriptConfidence);
    orientation.Clear();
    if (!found || confidence < minimumOrientationConfidence || degrees % 90 != 0)
        return 0;
    return (360 - degrees) % 360; // Tesseract names the turn the content has taken
}

double recognitionDpi(int chosenDpi, double pictureDpi, double lineHeightPoints)
{
    if (pictureDpi <= 0)
        return chosenDpi;
    if (lineHeightPoints <= 0)
        return std::min(pictureDpi, double(chosenDpi));
    const double linePixels = lineHeightPoints * pictureDpi / 72.0;
    if (linePixels < smallLinePixels) {
        const double enlarged = pictureDpi * std::min(2.0, targetLinePixels / linePixels);
        return std::min(enlarged, std::max(pictureDpi, double(chosenDpi)));
    }
    const double byText = pictureDpi * std::min(1.0, targetLinePixels / linePixels);
    return std::min(
        {pictureDpi, double(chosenDpi), std::max(byText, std::min(pictureDpi, previewDpi))});
}

double fittingDpi(const QSizeF& points, double dpi)
{
    const double area = points.width() * points.height();
    if (!(area > 0))
        return 0;
    double fitted = std::floor(
        std::min({dpi, maxImageSide * 72.0 / points.width(), maxImageSide * 72.0 / points.height(),
                  72.0 * std::sqrt(double(maxImagePixels) / area)}));
    QSize pixels;
    // Pixel sizes are rounded up: a step down may be needed to fit.
    while (fitted > 0 && !pagePixelSize(points, fitted, pixels))
        fitted -= 1;
    return fitted;
}

PreparedPage preparePage(const OcrDocument* document, int index, const QImage& sourceImage,
                         double pictureDpi, const PageSettings& settings,
                         const CancelTest& cancelled)
{
    PreparedPage page;
    page.points =
        document ? document->pageSize(index) : QSizeF(sourceImage.size()) * 72.0 / settings.dpi;
    const double sourceDpi = document ? 0.0 : double(settings.dpi);
    if (!document)
        pictureDpi = settings.dpi;
    const QString tooLarge =
        pageMessage(u"第 %1 页尺寸过大或无效，请降低 DPI。已完成的文字仍可导出。"_s, index);

    // Resolutions below are per inch of the page's own units. A page with a
    // /UserUnit is that much larger on paper, and the chosen resolution is meant
    // for paper: it is read at that many more pixels. (Sizes and the pixel limit
    // then work as on any page; Tesseract is told the resolution on paper.)
    const double unit = document ? document->userUnit(index) : 1.0;
    // A scan's orientation, skew and text size are judged on a small rendering
    // first, so that the page is rendered once more at the resolution it reads
    // best at. Other pages are judged on their rendering.
    const double chosenDpi = settings.dpi * unit;
    double dpi = chosenDpi;
    double angle = 0;
    bool judged = false;
    int turn = 0;
    PagePicture picture;
    if (pictureDpi > 0 && document) {
        QPB_STAGE(RenderStage);
        picture = document->picture(index);
    }
    if (pictureDpi > 0) {
        const QImage preview = pageAt(document, index, sourceImage, picture, page.points,
                                      std::min(pictureDpi, previewDpi), sourceDpi);
        if (!preview.isNull()) {
            QPB_STAGE(PreparationStage);
            // A scan decoded as grey has nothing to flatten.
            QImage flat =
                preview.format() == QImage::Format_Grayscale8 ? preview : flattenPageImage(preview);
            if (settings.orientation) {
                turn = uprightTurn(
                    *settings.orientation, flat.convertToFormat(QImage::Format_Grayscale8),
                    int(std::lround(preview.height() * 72.0 / page.points.height() / unit)));
                flat = turned(flat, turn);
            }
            angle = settings.deskew ? skewAngle(flat, cancelled) : 0;
            judged = true;
            const double lines = medianLineHeight(angle != 0 ? rotatedImage(flat, angle) : flat);
            const double uprightHeight = turn % 180 ? page.points.width() : page.points.height();
            dpi = recognitionDpi(int(std::lround(chosenDpi)), pictureDpi,
                                 lines * uprightHeight / flat.height());
        } else {
            dpi = std::min(pictureDpi, chosenDpi);
        }
    }
    QSize pixels;
    if (!pagePixelSize(page.points, dpi, pixels)) {
        // A poster or a drawing is read at the highest resolution that fits,
        // rather than failing the whole document.
        dpi = fittingDpi(page.points, dpi);
        // However low: a page that large carries large type, and the note says
        // the resolution it was read at.
        if (dpi < 1 || !pagePixelSize(page.points, dpi, pixels)) {
            page.failure = tooLarge;
            return page;
        }
        page.loweredDpi = true;
    }
    QImage pageImage = pageAt(document, index, sourceImage, picture, page.points, dpi, sourceDpi);
    picture = {};
    if (pageImage.isNull()) {
        page.failure = pageMessage(u"第 %1 页渲染失败。"_s, index);
        return page;
    }
    {
        QPB_STAGE(PreparationStage);
        if (pageImage.format() != QImage::Format_Grayscale8)
            pageImage = flattenPageImage(pageImage);
        if (!judged && settings.orientation) {
            const double reduce = std::min(1.0, previewDpi / dpi);
            const QImage preview = pageImage
                                       .scaled(pageImage.size() * reduce, Qt::KeepAspectRatio,
                                               Qt::SmoothTransformation)
                                       .convertToFormat(QImage::Format_Grayscale8);
            turn =
                uprightTurn(*settings.orientation, preview, int(std::lround(dpi * reduce / unit)));
        }
        pageImage = turned(pageImage, turn);
        if (turn % 180)
            page.points.transpose();
        page.turn = turn;
    }
    if (settings.deskew) {
        QPB_STAGE(PreparationStage);
        if (!judged)
            angle = skewAngle(pageImage, cancelled);
        if (angle != 0)
            pageImage = rotatedImage(pageImage, angle);
        page.deskewAngle = angle;
    }
    if (cancelled()) {
        page.cancelled = true;
        return page;
    }
    // Each step above makes a new picture; one that could not be allocated is null.
    if (pageImage.isNull()) {
        page.failure =
            pageMessage(u"第 %1 页内存不足，无法识别。请减少同时处理的文件或降低 DPI。"_s, index);
        return page;
    }
    page.recognitionDpi = std::max(1, int(std::lround(dpi / unit)));
    page.geometry = {page.points, double(pageImage.width()), double(pageImage.height()),
                     page.deskewAngle};
    // Tesseract recognises a neutral grey page given as one byte per pixel exactly
    // as it does the same page in RGB, and a quarter faster: it converts and
    // thresholds one channel instead of three.
    // A colour page with red seals is read from a grey picture without them.
    QImage pageGrey;
    {
        QPB_STAGE(PreparationStage);
        pageGrey = pageImage.format() == QImage::Format_Grayscale8 ? pageImage
                                                                   : neutralGreyImage(pageImage);
        if (pageGrey.isNull())
            pageGrey = sealFreeGrey(pageImage, dpi / unit);
    }
    page.recognitionImage = pageGrey.isNull() ? pageImage : pageGrey;
    if (settings.enhance) {
        QPB_STAGE(PreparationStage);
        std::optional<QImage> enhanced = enhanceForRecognition(page.recognitionImage, cancelled);
        if (!enhanced) {
            page.cancelled = true;
            return page;
        }
        const QImage enhancedGrey = neutralGreyImage(*enhanced);
        page.recognitionImage = enhancedGrey.isNull() ? *enhanced : enhancedGrey;
    }
    if (settings.rebuilding)
        page.pageImage = pageImage;
    return page;
}

namespace {

bool hasHan(const QString& text)
{
    for (const QChar c : text) {
        if (c.script() == QChar::Script_Han)
            return true;
    }
    return false;
}

// Up to three lines the engine just recognised as Chinese, cut from `image`
// with a margin; null when it read none.
QImage chineseLines(tesseract::TessBaseAPI& engine, const QImage& image)
{
    constexpr int wanted = 3;
    std::unique_ptr<tesseract::ResultIterator> it(engine.GetIterator());
    if (!it)
        return QImage();
    QRect lines;
    int found = 0;
    do {
        const TesseractText line(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
        int left = 0, top = 0, right = 0, bottom = 0;
        if (!line || !hasHan(QString::fromUtf8(line.get())) ||
            !it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom))
            continue;
        lines = lines.united(QRect(QPoint(left, top), QPoint(right, bottom)));
        ++found;
    } while (found < wanted && it->Next(tesseract::RIL_TEXTLINE));
    if (found == 0)
        return QImage();
    const int margin = std::max(4, lines.height() / (4 * found));
    return image.copy(lines.adjusted(-margin, -margin, margin, margin) & image.rect());
}

} // namespace

PageResult recognizePreparedPage(tesseract::TessBaseAPI& engine, PreparedPage page, int index,
                                 const PageSettings& settings, const CancelTest& cancelled)
{
    PageResult result;
    result.deskewAngle = page.deskewAngle;
    result.turn = page.turn;
    result.loweredDpi = page.loweredDpi ? page.recognitionDpi : 0;
    result.failure = page.failure;
    result.cancelled = page.cancelled;
    if (!result.failure.isEmpty() || result.cancelled)
        return result;

    const QImage& image = page.recognitionImage;
    int recognized = 0;
    // Tesseract asks between words whether to go on: a cancelled job stops
    // within the page, and so does a page out of time.
    CancelTest cancelCopy = cancelled;
    tesseract::ETEXT_DESC monitor;
    monitor.cancel = [](void* test, int) {
        const CancelTest& stop = *static_cast<CancelTest*>(test);
        return stop && stop();
    };
    monitor.cancel_this = &cancelCopy;
    monitor.set_deadline_msecs(settings.timeLimitMs);
    {
        QPB_STAGE(RecognitionStage);
        const int bytesPerPixel = image.format() == QImage::Format_Grayscale8 ? 1 : 3;
        engine.SetImage(image.constBits(), image.width(), image.height(), bytesPerPixel,
                        static_cast<int>(image.bytesPerLine()));
        engine.SetSourceResolution(page.recognitionDpi);
        recognized = engine.Recognize(&monitor);
    }
    if (cancelled && cancelled()) {
        result.cancelled = true;
        return result;
    }
    if (monitor.deadline_exceeded()) {
        result.timedOut = true;
        result.layer.size = page.geometry.size;
        result.layer.turn = page.turn;
        result.layout.pageSize = page.points;
        return result;
    }
    if (recognized != 0) {
        result.failure = pageMessage(u"第 %1 页识别失败。"_s, index);
        return result;
    }
    const TesseractText text(engine.GetUTF8Text());
    if (!text) {
        result.failure = pageMessage(u"第 %1 页无法取得识别结果。"_s, index);
        return result;
    }
    if (cancelled()) {
        result.cancelled = true;
        return result;
    }
    result.text = QString::fromUtf8(text.get());
    result.confidence = engine.MeanTextConf();
    if (settings.sampleChinese) {
        result.chineseSample = chineseLines(engine, image);
        result.chineseSampleDpi = page.recognitionDpi;
    }
    if (settings.searchable) {
        QPB_STAGE(TextLayerStage);
        result.layer = buildTextLayer(engine, page.geometry);
        result.layer.turn = page.turn;
    }
    if (settings.rebuilding) {
        QPB_STAGE(LayoutStage);
        result.layout = reconstructPage(engine, page.pageImage, page.points);
    }
    return result;
}

} // namespace batch
