// Lossy compression of raster images, and only of them. An image drawn at a
// higher resolution than the step allows (at its largest placement) is scaled
// down by area averaging; colour and grey photographs are written as JPEG at
// the step's quality. Bilevel images, palettes and other graphics stay exact
// (the lossless pass that follows gives them G4 or their smallest form);
// masks are scaled with their image. An image whose new data is not smaller
// keeps its own.
#include "engine/images/codecs.h"
#include "engine/images/placement.h"
#include "engine/pdfdocument.h"
#include "engine/platformfs.h"
#include "engine/qpdfsupport.h"
#include "protocol/protocol.h"
#include "protocol/request.h"

#include <QFile>
#include <QFileInfo>

#include <qpdf/Buffer.hh>
#include <qpdf/Pipeline.hh>
#include <qpdf/QPDF.hh>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_set>
#include <vector>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

bool isEight(QPDFObjectHandle value)
{
    return value.isInteger() && value.getIntValue() == 8;
}

// Decoded samples held for one round of encoding threads.
constexpr size_t maxRoundBytes = 192 * 1024 * 1024;
// Larger images (an A3 page at 600 DPI in colour is 209 MB) keep their data.
constexpr size_t maxImageBytes = 256 * 1024 * 1024;
// Producers pad a mask's rows or end it with a few bytes more than it needs.
constexpr size_t maxMaskSlack = 64 * 1024;

struct Mask
{
    QPDFObjectHandle stream;
    std::string samples; // 8-bit levels; a stencil's bits as 0 and 255
    int width = 0;
    int height = 0;
    bool stencil = false;
    int newWidth = 0;
    int newHeight = 0;
    std::string data; // the scaled mask, Flate
};

struct ImageJob
{
    QPDFObjectHandle stream;
    std::string samples;
    int width = 0;
    int height = 0;
    int components = 0;
    int newWidth = 0;
    int newHeight = 0;
    size_t storedBytes = 0;
    bool toGrey = false; // grey content stored as RGB, written as grey
    std::optional<Mask> mask;
    std::optional<std::string> jpeg;
};

// A photograph by its content: more levels than charts and line art use, or
// few levels dithered or screened into a picture, which shows as neighbours
// that differ far more often than in drawings, and which only becomes smooth
// when scaled down.
bool photographic(const std::string& samples, int components, int width, bool scaled)
{
    const size_t few = components == 1 ? 64 : 256;
    const size_t step = size_t(components);
    std::unordered_set<uint32_t> colours;
    size_t changes = 0;
    size_t pairs = 0;
    for (size_t i = 0; i + step <= samples.size(); i += step) {
        uint32_t colour = 0;
        for (size_t c = 0; c < step; ++c)
            colour = (colour << 8) | static_cast<unsigned char>(samples[i + c]);
        if (colours.size() <= few) {
            colours.insert(colour);
            if (colours.size() > few)
                return true;
        }
        if ((i / step) % size_t(width) != 0) {
            ++pairs;
            changes += samples.compare(i - step, step, samples, i, step) != 0;
        }
    }
    return scaled && pairs > 0 && changes * 10 > pairs * 3;
}

// Grey content stored as RGB, within what JPEG's colour noise leaves: the
// grey levels, or nothing when some pixel has colour.
std::optional<std::string> greyContent(const std::string& rgb)
{
    constexpr int tolerance = 6;
    std::string grey;
    grey.reserve(rgb.size() / 3);
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
        const int r = static_cast<unsigned char>(rgb[i]);
        const int g = static_cast<unsigned char>(rgb[i + 1]);
        const int b = static_cast<unsigned char>(rgb[i + 2]);
        if (std::abs(r - g) > tolerance || std::abs(g - b) > tolerance)
            return std::nullopt;
        grey += char((r * 299 + g * 587 + b * 114 + 500) / 1000);
    }
    return grey;
}

// Collects decoded data and gives up past `limit` bytes, so that a small
// stream that inflates far beyond its dictionary's size is never held.
class BoundedSink : public Pipeline
{
public:
    BoundedSink(std::string& data, size_t limit)
        : Pipeline("bounded", nullptr), m_data(data), m_limit(limit)
    {}
    void write(const unsigned char* bytes, size_t length) override
    {
        if (m_data.size() + length > m_limit) {
            m_over = true;
            throw std::length_error("more data than the image holds");
        }
        m_data.append(reinterpret_cast<const char*>(bytes), length);
    }
    void finish() override {}
    bool over() const { return m_over; }

private:
    std::string& m_data;
    size_t m_limit;
    bool m_over = false;
};

std::optional<std::string> decodedData(QPDFObjectHandle stream, size_t limit)
{
    std::string data;
    // Grown by doubling, a 250 MB image would briefly need three times that.
    data.reserve(limit);
    BoundedSink sink(data, limit);
    try {
        if (!stream.pipeStreamData(&sink, 0, qpdf_dl_generalized, true))
            return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (sink.over())
        return std::nullopt;
    return data;
}

size_t storedSize(QPDFObjectHandle stream)
{
    QPDFObjectHandle length = stream.getDict().getKey("/Length");
    return length.isInteger() ? size_t(std::max(0LL, length.getIntValue())) : 0;
}

} // namespace

void onLanes(size_t count, const std::function<void(size_t)>& task)
{
    std::atomic<size_t> next = 0;
    std::vector<std::exception_ptr> failures(count);
    const auto work = [&] {
        for (size_t i = next++; i < count; i = next++) {
            try {
                task(i);
            } catch (...) {
                failures[i] = std::current_exception();
            }
        }
    };
    std::vector<std::thread> threads;
    const int lanes = std::max(1, std::min(grantedLanes(), int(count)));
    for (int i = 0; i < lanes; ++i)
        threads.emplace_back(work);
    for (std::thread& thread : threads)
        thread.join();
    for (const std::exception_ptr& failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
}

bool plainEightBitImage(QPDFObjectHandle dictionary)
{
    QPDFObjectHandle width = dictionary.getKey("/Width");
    QPDFObjectHandle height = dictionary.getKey("/Height");
    QPDFObjectHandle space = dictionary.getKey("/ColorSpace");
    return dictionary.getKey("/Subtype").isNameAndEquals("/Image") && width.isInteger() &&
           height.isInteger() && width.getIntValue() > 0 && height.getIntValue() > 0 &&
           width.getIntValue() <= 1 << 16 && height.getIntValue() <= 1 << 16 &&
           isEight(dictionary.getKey("/BitsPerComponent")) && !dictionary.hasKey("/Decode") &&
           plainColours(space) && (imageComponents(space) == 1 || imageComponents(space) == 3);
}

std::optional<std::string> decodedImageSamples(QPDFObjectHandle stream, int components)
{
    QPDFObjectHandle dictionary = stream.getDict();
    const int width = int(dictionary.getKey("/Width").getIntValue());
    const int height = int(dictionary.getKey("/Height").getIntValue());
    if (isJpeg(dictionary)) {
        QPDFObjectHandle parameters = soleParameters(dictionary);
        QPDFObjectHandle transform = parameters.isDictionary()
                                         ? parameters.getKey("/ColorTransform")
                                         : QPDFObjectHandle::newNull();
        try {
            const std::shared_ptr<Buffer> raw = stream.getRawStreamData();
            return decodeJpeg(
                std::string_view(reinterpret_cast<const char*>(raw->getBuffer()), raw->getSize()),
                components, width, height,
                transform.isInteger() ? int(transform.getIntValue() != 0) : -1);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    if (!decodesLosslessly(stream))
        return std::nullopt;
    const size_t expected = size_t(width) * size_t(height) * size_t(components);
    std::optional<std::string> samples = decodedData(stream, expected);
    if (!samples || samples->size() != expected)
        return std::nullopt;
    return samples;
}

namespace {

// A mask the image's new size can take along: 8-bit grey soft masks and stencils.
std::optional<Mask> maskOf(QPDFObjectHandle image)
{
    QPDFObjectHandle dictionary = image.getDict();
    for (const char* key : {"/SMask", "/Mask"}) {
        QPDFObjectHandle stream = dictionary.getKey(key);
        if (!stream.isStream())
            continue;
        QPDFObjectHandle mask = stream.getDict();
        Mask found;
        found.stream = stream;
        found.stencil = std::string(key) == "/Mask";
        QPDFObjectHandle width = mask.getKey("/Width");
        QPDFObjectHandle height = mask.getKey("/Height");
        if (!width.isInteger() || !height.isInteger() || width.getIntValue() <= 0 ||
            height.getIntValue() <= 0 || width.getIntValue() > 1 << 16 ||
            height.getIntValue() > 1 << 16 ||
            size_t(width.getIntValue()) * size_t(height.getIntValue()) > maxImageBytes ||
            mask.hasKey("/Decode") || mask.hasKey("/Matte") || !decodesLosslessly(stream))
            return std::nullopt;
        found.width = int(width.getIntValue());
        found.height = int(height.getIntValue());
        const size_t expected = found.stencil ? (size_t(found.width) + 7) / 8 * size_t(found.height)
                                              : size_t(found.width) * size_t(found.height);
        std::optional<std::string> data = decodedData(stream, expected + maxMaskSlack);
        if (!data)
            return std::nullopt;
        if (found.stencil) {
            const size_t stride = (size_t(found.width) + 7) / 8;
            if (data->size() < stride * size_t(found.height))
                return std::nullopt;
            for (int y = 0; y < found.height; ++y)
                for (int x = 0; x < found.width; ++x)
                    found.samples += char(
                        ((*data)[size_t(y) * stride + size_t(x) / 8] >> (7 - x % 8)) & 1 ? 255 : 0);
        } else {
            if (!isEight(mask.getKey("/BitsPerComponent")) ||
                data->size() != size_t(found.width) * size_t(found.height))
                return std::nullopt;
            found.samples = std::move(*data);
        }
        return found;
    }
    return std::nullopt;
}

std::optional<ImageJob> jobFor(QPDFObjectHandle stream, const ImagePlacement& placement,
                               const CompressionStep& step, const std::set<QPDFObjGen>& masks,
                               bool rgbMayBeGrey)
{
    if (!stream.isStream() || masks.count(stream.getObjGen()) != 0)
        return std::nullopt;
    QPDFObjectHandle dictionary = stream.getDict();
    if (!plainEightBitImage(dictionary) || dictionary.getKey("/Mask").isArray() ||
        // A soft mask with /Matte must keep its image's size.
        (dictionary.getKey("/SMask").isStream() &&
         dictionary.getKey("/SMask").getDict().hasKey("/Matte")) ||
        placement.widthInches <= 0 || placement.heightInches <= 0)
        return std::nullopt;
    ImageJob job;
    job.stream = stream;
    QPDFObjectHandle space = dictionary.getKey("/ColorSpace");
    job.components = imageComponents(space);
    job.width = int(dictionary.getKey("/Width").getIntValue());
    job.height = int(dictionary.getKey("/Height").getIntValue());
    if (size_t(job.width) * size_t(job.height) * size_t(job.components) > maxImageBytes)
        return std::nullopt;
    // Enough for the largest placement in both directions.
    const double resolution =
        std::min(job.width / placement.widthInches, job.height / placement.heightInches);
    const double scale = resolution > step.dpi * 1.05 ? step.dpi / resolution : 1.0;
    job.newWidth = std::max(1, int(std::lround(job.width * scale)));
    job.newHeight = std::max(1, int(std::lround(job.height * scale)));
    std::optional<std::string> samples = decodedImageSamples(stream, job.components);
    if (!samples)
        return std::nullopt;
    if (job.components == 3 && rgbMayBeGrey && space.isNameAndEquals("/DeviceRGB")) {
        if (std::optional<std::string> grey = greyContent(*samples)) {
            samples = std::move(grey);
            job.components = 1;
            job.toGrey = true;
        }
    }
    // JPEGs are photographs already; graphics of a few colours stay exact,
    // since JPEG would blur their edges.
    if (!isJpeg(dictionary) && !photographic(*samples, job.components, job.width, scale < 1.0))
        return std::nullopt;
    job.samples = std::move(*samples);
    job.storedBytes = storedSize(stream);
    if (scale < 1.0) {
        job.mask = maskOf(stream);
        if (job.mask) {
            job.mask->newWidth = std::max(1, int(std::lround(job.mask->width * scale)));
            job.mask->newHeight = std::max(1, int(std::lround(job.mask->height * scale)));
        }
    }
    return job;
}

// Runs on an encoding thread: only the job's bytes are touched.
void encode(ImageJob& job, const CompressionStep& step)
{
    // Unscaled samples are moved, not copied: they may be hundreds of megabytes.
    const std::string scaled = job.newWidth < job.width || job.newHeight < job.height
                                   ? scaleByArea(job.samples, job.width, job.height, job.components,
                                                 job.newWidth, job.newHeight)
                                   : std::move(job.samples);
    job.samples.clear();
    // Full colour resolution at the best step, where red strokes must stay crisp.
    job.jpeg = encodeJpeg(scaled, job.newWidth, job.newHeight, job.components, step.quality,
                          step.quality < 85);
    if (job.jpeg && job.jpeg->size() >= job.storedBytes)
        job.jpeg.reset();
    if (!job.jpeg || !job.mask)
        return;
    Mask& mask = *job.mask;
    std::string levels =
        scaleByArea(mask.samples, mask.width, mask.height, 1, mask.newWidth, mask.newHeight);
    mask.samples.clear();
    if (mask.stencil) {
        for (char& level : levels)
            level = char(static_cast<unsigned char>(level) >= 128 ? 1 : 0);
        levels = packed(levels, mask.newWidth, mask.newHeight, 1);
    }
    mask.data = deflateData(levels, 6);
}

void putBack(ImageJob& job, std::set<QPDFObjGen>& scaledMasks)
{
    if (!job.jpeg)
        return;
    QPDFObjectHandle dictionary = job.stream.getDict();
    job.stream.replaceStreamData(*job.jpeg, QPDFObjectHandle::newName("/DCTDecode"),
                                 QPDFObjectHandle::newNull());
    dictionary.replaceKey("/Width", QPDFObjectHandle::newInteger(job.newWidth));
    dictionary.replaceKey("/Height", QPDFObjectHandle::newInteger(job.newHeight));
    dictionary.removeKey("/DL"); // the old decoded length
    if (job.toGrey)
        dictionary.replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceGray"));
    if (!job.mask || !scaledMasks.insert(job.mask->stream.getObjGen()).second)
        return;
    // A mask shared with another image is scaled once; its size need not match.
    Mask& mask = *job.mask;
    mask.stream.replaceStreamData(mask.data, QPDFObjectHandle::newName("/FlateDecode"),
                                  QPDFObjectHandle::newNull());
    mask.stream.getDict().replaceKey("/Width", QPDFObjectHandle::newInteger(mask.newWidth));
    mask.stream.getDict().replaceKey("/Height", QPDFObjectHandle::newInteger(mask.newHeight));
    mask.stream.getDict().removeKey("/DL");
}

void encodeRound(std::vector<ImageJob>& jobs, const CompressionStep& step,
                 std::set<QPDFObjGen>& scaledMasks)
{
    onLanes(jobs.size(), [&](size_t i) { encode(jobs[i], step); });
    for (ImageJob& job : jobs)
        putBack(job, scaledMasks);
    jobs.clear();
}

std::set<QPDFObjGen> masksOfImages(QPDF& pdf)
{
    std::set<QPDFObjGen> masks;
    for (QPDFObjectHandle& object : pdf.getAllObjects()) {
        if (!object.isStream())
            continue;
        for (const char* key : {"/SMask", "/Mask"}) {
            QPDFObjectHandle mask = object.getDict().getKey(key);
            if (mask.isStream())
                masks.insert(mask.getObjGen());
        }
    }
    return masks;
}

struct Written
{
    qint64 bytes = 0;
    int layeredPages = 0;
};

// Writes the document once compressed at `step` (none: lossless only) to `path`.
// Sets `repaired` when QPDF repaired damage on the way.
Written writeCompressed(const std::function<PdfDocument()>& open,
                        const std::optional<CompressionStep>& step, const QString& path,
                        bool& repaired)
{
    PdfDocument document = open();
    const int layered = step ? compressImages(document, *step) : 0;
    optimizeDocument(document);
    writeDocument(path, document);
    repaired = repaired || document.repaired();
    return {QFileInfo(path).size(), layered};
}

} // namespace

const std::array<CompressionStep, 9>& compressionSteps()
{
    // Best first, each smaller than the one before. Resolution shows more than
    // quality: on the bench's Chinese scan 200 DPI at 35 is 0.99 MB with page
    // SSIM 0.98 and recognises as well as the source, where 150 DPI at 70 is
    // 1.05 MB at 0.97 and loses 1.5 points of CER; Ghostscript /ebook is
    // 1.06 MB at 0.93. The last is the floor: below 100 DPI, 9-point text on
    // a scan stops being readable.
    // Layers keep a scan's text at its own resolution and only its paper at
    // 100 DPI; pages that are no scans get the smallest level's step.
    static const std::array<CompressionStep, 9> steps{{{300, 85},
                                                       {250, 60},
                                                       {200, 50},
                                                       {200, 35},
                                                       {150, 40},
                                                       {150, 30},
                                                       {120, 35},
                                                       {150, 40, true},
                                                       {100, 35}}};
    return steps;
}

int compressionLevelStep(const QString& level)
{
    if (level == u"high"_s)
        return 0;
    if (level == u"standard"_s)
        return 3;
    if (level == u"small"_s)
        return 4;
    if (level == u"archive"_s)
        return 7;
    return -1;
}

int compressImages(PdfDocument& document, const CompressionStep& step)
{
    QPDF& pdf = document.pdf();
    std::set<QPDFObjGen> masks = masksOfImages(pdf);
    const int layered = step.layered ? layerScanPages(pdf, step, masks) : 0;
    // Output intents give DeviceRGB colours of their own, which grey would not share.
    const bool rgbMayBeGrey = !pdf.getRoot().hasKey("/OutputIntents");
    std::set<QPDFObjGen> scaledMasks;
    std::vector<ImageJob> round;
    size_t roundBytes = 0;
    for (const auto& [id, placement] : largestPlacements(pdf)) {
        std::optional<ImageJob> job =
            jobFor(pdf.getObjectByObjGen(id), placement, step, masks, rgbMayBeGrey);
        if (!job)
            continue;
        roundBytes += job->samples.size() + (job->mask ? job->mask->samples.size() : 0);
        round.push_back(std::move(*job));
        if (roundBytes > maxRoundBytes) {
            encodeRound(round, step, scaledMasks);
            roundBytes = 0;
        }
    }
    encodeRound(round, step, scaledMasks);
    return layered;
}

CompressionOutcome compressToFit(const std::function<PdfDocument()>& open, const QString& level,
                                 qint64 targetSize, qint64 sourceBytes, const QString& staged)
{
    const int first = compressionLevelStep(level);
    const auto& steps = compressionSteps();
    bool repaired = false;
    if (targetSize <= 0) {
        const Written written = writeCompressed(open, steps.at(size_t(first)), staged, repaired);
        return {written.bytes, true, repaired, written.layeredPages};
    }
    // A file that already fits keeps every image as it is; the job frame
    // never publishes it larger than it was.
    const qint64 lossless = writeCompressed(open, std::nullopt, staged, repaired).bytes;
    if (lossless <= targetSize || sourceBytes <= targetSize)
        return {lossless, true, repaired};
    // Steps are tried best first and the first that fits is kept. Sizes are
    // measured, not assumed to fall along the ladder: an image already below
    // a step's resolution is sized by quality alone, so a later step can be
    // larger. When none fits, the smallest file seen is kept.
    const QString trial = staged + u".trial"_s;
    Written smallest{lossless, 0};
    for (size_t index = size_t(first); index < steps.size(); ++index) {
        const Written tried = writeCompressed(open, steps.at(index), trial, repaired);
        if (tried.bytes > targetSize && tried.bytes >= smallest.bytes)
            continue;
        const QString reason = replaceEntry(trial, staged);
        if (!reason.isEmpty())
            fail(u"输出失败："_s + reason);
        smallest = tried;
        if (tried.bytes <= targetSize)
            return {tried.bytes, true, repaired, tried.layeredPages};
    }
    QFile::remove(trial);
    return {smallest.bytes, false, repaired, smallest.layeredPages};
}

} // namespace batch
