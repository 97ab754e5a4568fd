// Text scans as layers. The picture that covers a scan page is replaced by a
// form of the same unit square that draws the paper at a low resolution, the
// page's photographs at the step's resolution, and the ink's colours through
// the ink's bilevel mask at the scan's own. The page's content, its text
// layer and everything else that names the picture stay as they are.
//
// The mask is written with Flate here; the lossless pass that follows gives
// it JBIG2 or G4, whichever is smaller.
#include "engine/images/codecs.h"
#include "engine/pagegeometry.h"
#include "engine/pdfdocument.h"
#include "engine/qpdfsupport.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <map>
#include <optional>
#include <set>

namespace batch {

namespace {

// Decoded scans held for one round of separating threads.
constexpr size_t maxRoundBytes = 192 * 1024 * 1024;
constexpr size_t maxScanBytes = 256 * 1024 * 1024;
// Below this the scan's own pixels are too coarse for a mask worth having.
constexpr double leastDpi = 150;
// Photographs are a small share of a text scan's bytes.
constexpr int pictureQuality = 60;

struct EncodedPicture
{
    MrcPicture region;
    std::string jpeg;
};

struct ScanJob
{
    QPDFObjectHandle image;
    int pages = 0; // the pages it covers
    std::string samples;
    int width = 0;
    int height = 0;
    int components = 0;
    MrcScales scales;
    int quality = 0;
    // The layers, encoded; no mask when the page is not one to separate.
    std::string mask;
    std::string foreground;
    std::string colourMask; // empty without coloured ink
    std::string colourForeground;
    std::optional<std::string> background;
    int foregroundWidth = 0; // of both inks' colours
    int foregroundHeight = 0;
    int backgroundWidth = 0;
    int backgroundHeight = 0;
    std::vector<EncodedPicture> pictures;
};

MrcScales scalesFor(double dpi, const CompressionStep& step)
{
    MrcScales scales;
    scales.background = std::max(1, int(std::ceil(dpi / 100 - 0.05)));
    scales.foreground = std::max(1, int(std::ceil(dpi / 37.5 - 0.05)));
    scales.picture = std::max(1, int(dpi / step.dpi + 0.05));
    scales.pictureMinimum = int(dpi); // an inch
    return scales;
}

// A scan this pass can read: 8-bit grey or colour with nothing laid over its samples.
bool separable(QPDFObjectHandle image)
{
    QPDFObjectHandle dictionary = image.getDict();
    return plainEightBitImage(dictionary) && !dictionary.hasKey("/SMask") &&
           !dictionary.hasKey("/Mask") && !dictionary.hasKey("/ImageMask");
}

// Runs on a separating thread: only the job's bytes are touched.
void separate(ScanJob& job)
{
    std::optional<MrcLayers> layers =
        separateLayers(job.samples, job.width, job.height, job.components, job.scales);
    job.samples.clear();
    job.samples.shrink_to_fit();
    if (!layers)
        return;
    job.background = encodeJpeg(layers->background, layers->backgroundWidth,
                                layers->backgroundHeight, job.components, job.quality, true);
    if (!job.background)
        return;
    for (MrcPicture& picture : layers->pictures) {
        // Cut out of the page, a photograph's JPEG blocks fall otherwise than
        // on the whole page, and the step's quality alone would show it less well.
        std::optional<std::string> jpeg =
            encodeJpeg(picture.samples, picture.scaledWidth, picture.scaledHeight, job.components,
                       std::max(job.quality, pictureQuality), true);
        if (!jpeg)
            return;
        picture.samples.clear();
        job.pictures.push_back({std::move(picture), std::move(*jpeg)});
    }
    job.foreground = deflateData(layers->foreground, 6);
    job.mask = deflateData(layers->mask, 1);
    if (!layers->colourMask.empty()) {
        job.colourForeground = deflateData(layers->colourForeground, 6);
        job.colourMask = deflateData(layers->colourMask, 1);
    }
    job.foregroundWidth = layers->foregroundWidth;
    job.foregroundHeight = layers->foregroundHeight;
    job.backgroundWidth = layers->backgroundWidth;
    job.backgroundHeight = layers->backgroundHeight;
}

QPDFObjectHandle imageStream(QPDF& pdf, std::string data, const char* filter, int width, int height)
{
    QPDFObjectHandle stream = QPDFObjectHandle::newStream(&pdf, std::move(data));
    QPDFObjectHandle dictionary = stream.getDict();
    dictionary.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dictionary.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
    dictionary.replaceKey("/Width", QPDFObjectHandle::newInteger(width));
    dictionary.replaceKey("/Height", QPDFObjectHandle::newInteger(height));
    dictionary.replaceKey("/Filter", QPDFObjectHandle::newName(filter));
    return stream;
}

QPDFObjectHandle colourImage(QPDF& pdf, std::string data, const char* filter, int width, int height,
                             QPDFObjectHandle space)
{
    QPDFObjectHandle stream = imageStream(pdf, std::move(data), filter, width, height);
    // A direct value belongs to one dictionary; each image has its own copy.
    stream.getDict().replaceKey("/ColorSpace", space.isIndirect() ? space : space.shallowCopy());
    stream.getDict().replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
    return stream;
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

// Makes the scan's stream the form of its layers; every new stream goes into `settled`.
void becomeLayers(QPDF& pdf, ScanJob& job, std::set<QPDFObjGen>& settled)
{
    QPDFObjectHandle space = job.image.getDict().getKey("/ColorSpace");
    const auto maskedInk = [&](std::string& mask, std::string& colours) {
        QPDFObjectHandle stencil =
            imageStream(pdf, std::move(mask), "/FlateDecode", job.width, job.height);
        stencil.getDict().replaceKey("/ImageMask", QPDFObjectHandle::newBool(true));
        stencil.getDict().replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(1));
        QPDFObjectHandle ink = colourImage(pdf, std::move(colours), "/FlateDecode",
                                           job.foregroundWidth, job.foregroundHeight, space);
        ink.getDict().replaceKey("/Mask", stencil);
        settled.insert(stencil.getObjGen());
        settled.insert(ink.getObjGen());
        return ink;
    };
    QPDFObjectHandle ink = maskedInk(job.mask, job.foreground);
    QPDFObjectHandle paper = colourImage(pdf, std::move(*job.background), "/DCTDecode",
                                         job.backgroundWidth, job.backgroundHeight, space);
    paper.getDict().replaceKey("/Interpolate", QPDFObjectHandle::newBool(true));
    QPDFObjectHandle xobjects = QPDFObjectHandle::newDictionary();
    xobjects.replaceKey("/Paper", paper);
    xobjects.replaceKey("/Ink", ink);
    std::string content = "/Paper Do\n";
    for (size_t i = 0; i < job.pictures.size(); ++i) {
        const MrcPicture& region = job.pictures[i].region;
        const std::string name = "/Picture" + std::to_string(i);
        xobjects.replaceKey(name, colourImage(pdf, std::move(job.pictures[i].jpeg), "/DCTDecode",
                                              region.scaledWidth, region.scaledHeight, space));
        settled.insert(xobjects.getKey(name).getObjGen());
        // Image rows run from the top; the unit square's y from the bottom.
        content += "q " + number(double(region.width) / job.width) + " 0 0 " +
                   number(double(region.height) / job.height) + " " +
                   number(double(region.x) / job.width) + " " +
                   number(1 - double(region.y + region.height) / job.height) + " cm " + name +
                   " Do Q\n";
    }
    content += "/Ink Do\n";
    if (!job.colourMask.empty()) {
        xobjects.replaceKey("/ColouredInk", maskedInk(job.colourMask, job.colourForeground));
        content += "/ColouredInk Do\n";
    }
    settled.insert(paper.getObjGen());
    // Streams cannot be swapped for others in place, so the scan's own
    // object becomes the form: everything that names it then names the form.
    QPDFObjectHandle form = job.image;
    form.replaceStreamData(content, QPDFObjectHandle::newNull(), QPDFObjectHandle::newNull());
    QPDFObjectHandle dictionary = form.getDict();
    for (const std::string& key : dictionary.getKeys())
        dictionary.removeKey(key);
    dictionary.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dictionary.replaceKey("/Subtype", QPDFObjectHandle::newName("/Form"));
    dictionary.replaceKey("/BBox", QPDFObjectHandle::parse("[0 0 1 1]"));
    QPDFObjectHandle resources = QPDFObjectHandle::newDictionary();
    resources.replaceKey("/XObject", xobjects);
    dictionary.replaceKey("/Resources", resources);
}

// Separates the round's scans on the job's lanes, then puts the forms in
// their pictures' places. Returns the pages layered.
int layerRound(QPDF& pdf, std::vector<ScanJob>& jobs, std::set<QPDFObjGen>& settled)
{
    onLanes(jobs.size(), [&](size_t i) { separate(jobs[i]); });
    int layered = 0;
    for (ScanJob& job : jobs) {
        if (job.mask.empty())
            continue;
        becomeLayers(pdf, job, settled);
        settled.insert(job.image.getObjGen());
        layered += job.pages;
    }
    jobs.clear();
    return layered;
}

// The scans of the document's scan pages, each once, with the pages it covers
// and its resolution there (the lowest, where pages draw it differently).
std::vector<std::pair<QPDFObjectHandle, std::pair<int, double>>> scansOf(QPDF& pdf)
{
    std::map<QPDFObjGen, std::pair<int, double>> found;
    std::vector<QPDFObjectHandle> images;
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
        QPDFObjectHandle object = page.getObjectHandle();
        std::optional<CoveringPicture> covering =
            coveringPicture(object, pageGeometry(object).cropBox);
        if (!covering || !covering->image.isStream() || !covering->image.isIndirect() ||
            covering->dpi < leastDpi || !separable(covering->image))
            continue;
        auto [entry, added] =
            found.try_emplace(covering->image.getObjGen(), std::pair{0, covering->dpi});
        if (added)
            images.push_back(covering->image);
        ++entry->second.first;
        entry->second.second = std::min(entry->second.second, covering->dpi);
    }
    std::vector<std::pair<QPDFObjectHandle, std::pair<int, double>>> scans;
    for (QPDFObjectHandle& image : images)
        scans.emplace_back(image, found.at(image.getObjGen()));
    return scans;
}

} // namespace

int layerScanPages(QPDF& pdf, const CompressionStep& step, std::set<QPDFObjGen>& settled)
{
    int layered = 0;
    std::vector<ScanJob> round;
    size_t roundBytes = 0;
    for (auto& [image, use] : scansOf(pdf)) {
        ScanJob job;
        job.image = image;
        job.pages = use.first;
        job.components = imageComponents(image.getDict().getKey("/ColorSpace"));
        job.width = int(image.getDict().getKey("/Width").getIntValue());
        job.height = int(image.getDict().getKey("/Height").getIntValue());
        if (size_t(job.width) * size_t(job.height) * size_t(job.components) > maxScanBytes)
            continue;
        std::optional<std::string> samples = decodedImageSamples(image, job.components);
        if (!samples)
            continue;
        job.samples = std::move(*samples);
        job.scales = scalesFor(use.second, step);
        job.quality = step.quality;
        roundBytes += job.samples.size();
        round.push_back(std::move(job));
        if (roundBytes > maxRoundBytes) {
            layered += layerRound(pdf, round, settled);
            roundBytes = 0;
        }
    }
    return layered + layerRound(pdf, round, settled);
}

} // namespace batch
