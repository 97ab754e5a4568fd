// Lossless re-encoding on every lane the job was granted. QPDF is not
// thread-safe, so one thread reads and decodes while the others encode; the
// results are put back on the reading thread. Every stream keeps whichever of
// its old and new data is smaller, and is marked so that the writer copies it
// as it stands instead of compressing it once more at its own level.
#include "engine/images/codecs.h"
#include "engine/qpdfsupport.h"
#include "protocol/request.h"

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>
#include <zlib.h>

namespace batch {

namespace {

// The encoded results are held until they are put back; their stored sizes bound them.
constexpr long long maxHeldBytes = 256LL * 1024 * 1024;
// Decoded data waiting for an encoding thread.
constexpr size_t maxQueuedBytes = 64 * 1024 * 1024;
// Decoded data of one stream held whole for an encoding thread. Beyond it the
// stream is compressed with zlib as it is decoded: decoded bytes in flight stay
// below maxQueuedBytes + (2 × threads + 1) × maxWholeImageBytes, whatever a
// stream decodes to (1 GiB of zeros fits in 1 MiB of Flate data). Images may
// be larger, since their samples are where a scan's bytes are.
constexpr size_t maxWholeStreamBytes = 16 * 1024 * 1024;
constexpr size_t maxWholeImageBytes = 48 * 1024 * 1024;
constexpr int streamingLevel = 9;
// libdeflate's first near-optimal level, and its strongest greedy one.
// Measured on the bench's 1000-page text: near-optimal saves 2.5 % of the
// bytes for 55 % more time (and 12 another 0.16 % for 45 % more).
constexpr int strongLevel = 10;
constexpr int greedyLevel = 9;
// A document with more stored stream data than this (text, fonts, drawings)
// is compressed greedily, so that the optimisation of a long document stays
// within twice the time of a plain rewrite.
constexpr size_t mostNearOptimalBytes = 2 * 1024 * 1024;

enum class Kind
{
    General,
    Image,
    Jpeg,
    Fax, // CCITT data, decoded by our own decoder into an image's samples
};

struct Task
{
    QPDFObjectHandle stream; // touched by the reading thread only
    Kind kind = Kind::General;
    ImageLayout layout;
    size_t storedBytes = 0;
    std::string data; // decoded data or the JPEG as stored; then the encoded data
    std::optional<ImageEncoding> image;
    FaxParameters fax;
    int level = strongLevel; // of a general stream's Flate
    bool smaller = false;
};

// What the whole document allows every image.
struct DocumentFacts
{
    std::set<QPDFObjGen> masks; // images that mask others keep their form
    bool rgbMayBeGrey = true;
};

std::vector<QPDFObjectHandle> filtersOf(QPDFObjectHandle dictionary)
{
    QPDFObjectHandle filter = dictionary.getKey("/Filter");
    if (filter.isArray())
        return filter.getArrayAsVector();
    if (filter.isNull())
        return {};
    return {filter};
}

bool special(QPDFObjectHandle dictionary)
{
    // The writer treats metadata specially; object and cross-reference
    // streams are never written as they are.
    QPDFObjectHandle type = dictionary.getKey("/Type");
    return type.isName() && (type.getName() == "/Metadata" || type.getName() == "/ObjStm" ||
                             type.getName() == "/XRef");
}

std::optional<ImageLayout> imageLayout(QPDFObjectHandle stream, const DocumentFacts& facts)
{
    QPDFObjectHandle dictionary = stream.getDict();
    QPDFObjectHandle width = dictionary.getKey("/Width");
    QPDFObjectHandle height = dictionary.getKey("/Height");
    if (!dictionary.getKey("/Subtype").isNameAndEquals("/Image") || !width.isInteger() ||
        !height.isInteger() || width.getIntValue() <= 0 || height.getIntValue() <= 0 ||
        width.getIntValue() > 1 << 20 || height.getIntValue() > 1 << 20)
        return std::nullopt;
    ImageLayout layout;
    layout.width = int(width.getIntValue());
    layout.height = int(height.getIntValue());
    if (dictionary.getKey("/ImageMask").isBool() &&
        dictionary.getKey("/ImageMask").getBoolValue()) {
        layout.components = 1;
        layout.bits = 1;
        return layout;
    }
    QPDFObjectHandle space = dictionary.getKey("/ColorSpace");
    QPDFObjectHandle bits = dictionary.getKey("/BitsPerComponent");
    layout.components = imageComponents(space);
    layout.bits = bits.isInteger() ? int(bits.getIntValue()) : 0;
    if (layout.components <= 0 || layout.components > 32 ||
        (layout.bits != 1 && layout.bits != 2 && layout.bits != 4 && layout.bits != 8 &&
         layout.bits != 16))
        return std::nullopt;
    QPDFObjectHandle softMask = dictionary.getKey("/SMask");
    layout.mayRecolour = plainColours(space) && !dictionary.hasKey("/Decode") &&
                         !dictionary.getKey("/Mask").isArray() &&
                         facts.masks.count(stream.getObjGen()) == 0 &&
                         !(softMask.isStream() && softMask.getDict().hasKey("/Matte"));
    layout.rgbMayBeGrey = facts.rgbMayBeGrey && space.isNameAndEquals("/DeviceRGB");
    QPDFObjectHandle interpolate = dictionary.getKey("/Interpolate");
    // Some readers interpolate palette indices instead of colours, and Poppler
    // converts an indexed CMYK palette through a path of its own that lands a
    // level off the direct one.
    layout.mayIndex = layout.mayRecolour && layout.components != 4 &&
                      !(interpolate.isBool() && interpolate.getBoolValue());
    return layout;
}

DocumentFacts documentFacts(QPDF& pdf, const std::vector<QPDFObjectHandle>& objects)
{
    DocumentFacts facts;
    // Output intents and default colour spaces give DeviceRGB and DeviceGray
    // colours of their own: grey would then look different.
    facts.rgbMayBeGrey = !pdf.getRoot().hasKey("/OutputIntents");
    for (QPDFObjectHandle object : objects) {
        QPDFObjectHandle dictionary = object.isStream() ? object.getDict() : object;
        if (!dictionary.isDictionary())
            continue;
        for (const char* key : {"/SMask", "/Mask"}) {
            QPDFObjectHandle mask = dictionary.getKey(key);
            if (mask.isStream())
                facts.masks.insert(mask.getObjGen());
        }
        QPDFObjectHandle spaces = dictionary.getKey("/ColorSpace");
        if (spaces.isDictionary() &&
            (spaces.hasKey("/DefaultRGB") || spaces.hasKey("/DefaultGray")))
            facts.rgbMayBeGrey = false;
    }
    return facts;
}

// Collects a stream's decoded data, and past its whole-stream limit deflates
// it with zlib as it arrives instead.
class DecodedSink : public Pipeline
{
public:
    DecodedSink(std::string& data, size_t wholeLimit)
        : Pipeline("decoded", nullptr), m_data(data), m_wholeLimit(wholeLimit)
    {}
    ~DecodedSink() override
    {
        if (m_streaming)
            deflateEnd(&m_zlib);
    }
    DecodedSink(const DecodedSink&) = delete;
    DecodedSink& operator=(const DecodedSink&) = delete;

    void write(unsigned char const* data, size_t length) override
    {
        if (!m_streaming && m_data.size() + length <= m_wholeLimit) {
            m_data.append(reinterpret_cast<const char*>(data), length);
            return;
        }
        if (!m_streaming) {
            if (deflateInit(&m_zlib, streamingLevel) != Z_OK)
                throw std::runtime_error("数据压缩失败。");
            m_streaming = true;
            std::string held;
            held.swap(m_data);
            deflateChunk(reinterpret_cast<const unsigned char*>(held.data()), held.size(),
                         Z_NO_FLUSH);
        }
        deflateChunk(data, length, Z_NO_FLUSH);
    }

    void finish() override
    {
        if (m_streaming)
            deflateChunk(nullptr, 0, Z_FINISH);
    }

    // The data is compressed already.
    bool streamed() const { return m_streaming; }

private:
    void deflateChunk(const unsigned char* data, size_t length, int flush)
    {
        m_zlib.next_in = const_cast<Bytef*>(data);
        m_zlib.avail_in = uInt(length);
        unsigned char buffer[65536];
        int status = Z_OK;
        do {
            m_zlib.next_out = buffer;
            m_zlib.avail_out = sizeof buffer;
            status = deflate(&m_zlib, flush);
            if (status == Z_STREAM_ERROR)
                throw std::runtime_error("数据压缩失败。");
            m_data.append(reinterpret_cast<const char*>(buffer), sizeof buffer - m_zlib.avail_out);
            // Data that does not compress is left as it is stored.
            if (m_data.size() > size_t(maxHeldBytes))
                throw std::runtime_error("数据压缩后仍过大。");
        } while (m_zlib.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
    }

    std::string& m_data;
    size_t m_wholeLimit;
    z_stream m_zlib{};
    bool m_streaming = false;
};

// Runs on an encoding thread: only the task's bytes are touched.
void encode(Task& task)
{
    switch (task.kind) {
    case Kind::General: {
        std::string compressed = deflateData(task.data, task.level);
        task.smaller = compressed.size() < task.storedBytes;
        task.data = task.smaller ? std::move(compressed) : std::string();
        break;
    }
    case Kind::Jpeg: {
        std::optional<std::string> transcoded = transcodeJpeg(task.data);
        task.smaller = transcoded.has_value();
        task.data = task.smaller ? std::move(*transcoded) : std::string();
        break;
    }
    case Kind::Image:
        task.image = encodeImage(task.data, task.layout, task.storedBytes);
        task.smaller = task.image.has_value();
        task.data.clear();
        break;
    case Kind::Fax: {
        // Data our decoder cannot read to the last row keeps its form.
        const std::optional<std::string> rows = decodeFax(task.data, task.fax, task.layout.height);
        task.image = rows ? encodeImage(*rows, task.layout, task.storedBytes) : std::nullopt;
        task.smaller = task.image.has_value();
        task.data.clear();
        break;
    }
    }
}

// Encoding threads take decoded streams from a bounded queue.
class EncodingQueue
{
public:
    explicit EncodingQueue(std::vector<Task>& tasks) : m_tasks(tasks)
    {
        // As many as the lanes the runner granted this job, not the machine's cores.
        const int count = std::max(1, grantedLanes());
        for (int i = 0; i < count; ++i)
            m_threads.emplace_back([this] { work(); });
    }
    ~EncodingQueue() { stop(); }
    EncodingQueue(const EncodingQueue&) = delete;
    EncodingQueue& operator=(const EncodingQueue&) = delete;

    void push(size_t index)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_queuedBytes <= maxQueuedBytes; });
        m_queue.push_back(index);
        m_queuedBytes += m_tasks[index].data.size();
        m_changed.notify_all();
    }

    // Waits for every pushed stream; rethrows an encoding thread's failure.
    void finish()
    {
        stop();
        if (m_failure)
            std::rethrow_exception(std::exchange(m_failure, nullptr));
    }

private:
    void stop()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_closed = true;
        }
        m_changed.notify_all();
        for (std::thread& thread : m_threads)
            thread.join();
        m_threads.clear();
    }

    void work()
    {
        for (;;) {
            size_t index = 0;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [this] { return m_closed || !m_queue.empty(); });
                if (m_queue.empty())
                    return;
                index = m_queue.front();
                m_queue.pop_front();
            }
            const size_t decodedSize = m_tasks[index].data.size();
            try {
                encode(m_tasks[index]);
            } catch (...) {
                const std::lock_guard lock(m_mutex);
                m_failure = std::current_exception();
            }
            {
                const std::lock_guard lock(m_mutex);
                m_queuedBytes -= decodedSize;
            }
            m_changed.notify_all();
        }
    }

    std::vector<Task>& m_tasks;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<size_t> m_queue;
    size_t m_queuedBytes = 0;
    bool m_closed = false;
    std::exception_ptr m_failure;
    std::vector<std::thread> m_threads;
};

// The parameters of an image's one filter, /CCITTFaxDecode, where every
// reader decodes its data to the image's rows: rows given, if at all, for
// the whole image.
std::optional<FaxParameters> faxParameters(QPDFObjectHandle stream)
{
    QPDFObjectHandle dictionary = stream.getDict();
    std::vector<QPDFObjectHandle> filters = filtersOf(dictionary);
    if (filters.size() != 1 || !filters.front().isNameAndEquals("/CCITTFaxDecode"))
        return std::nullopt;
    QPDFObjectHandle parameters = soleParameters(dictionary);
    const auto integer = [&parameters](const char* key, long long fallback) {
        QPDFObjectHandle value =
            parameters.isDictionary() ? parameters.getKey(key) : QPDFObjectHandle::newNull();
        return value.isInteger() ? value.getIntValue() : fallback;
    };
    const auto flag = [&parameters](const char* key) {
        QPDFObjectHandle value =
            parameters.isDictionary() ? parameters.getKey(key) : QPDFObjectHandle::newNull();
        return value.isBool() && value.getBoolValue();
    };
    const long long height =
        dictionary.getKey("/Height").isInteger() ? dictionary.getKey("/Height").getIntValue() : 0;
    if (integer("/Rows", height) < height)
        return std::nullopt;
    FaxParameters fax;
    fax.k = int(std::clamp(integer("/K", 0), -1LL, 1LL << 20));
    fax.columns = int(std::clamp(integer("/Columns", 1728), 0LL, 1LL << 20));
    fax.endOfLine = flag("/EndOfLine");
    fax.encodedByteAlign = flag("/EncodedByteAlign");
    fax.blackIs1 = flag("/BlackIs1");
    return fax;
}

std::optional<Task> taskFor(QPDFObjectHandle stream, const DocumentFacts& facts)
{
    QPDFObjectHandle dictionary = stream.getDict();
    if (special(dictionary))
        return std::nullopt;
    Task task;
    task.stream = stream;
    QPDFObjectHandle length = dictionary.getKey("/Length");
    task.storedBytes = length.isInteger() ? size_t(std::max(0LL, length.getIntValue())) : 0;
    if (isJpeg(dictionary)) {
        task.kind = Kind::Jpeg;
        return task;
    }
    if (std::optional<FaxParameters> fax = faxParameters(stream)) {
        std::optional<ImageLayout> layout = imageLayout(stream, facts);
        // Fax data grows a hundredfold decoded: its rows must fit as any image's do.
        if (!layout || layout->bits != 1 || layout->components != 1 ||
            layout->width != fax->columns ||
            size_t(layout->width + 7) / 8 * size_t(layout->height) > maxWholeImageBytes)
            return std::nullopt;
        task.kind = Kind::Fax;
        task.layout = *layout;
        task.fax = *fax;
        return task;
    }
    if (!decodesLosslessly(stream))
        return std::nullopt;
    if (std::optional<ImageLayout> layout = imageLayout(stream, facts)) {
        task.kind = Kind::Image;
        task.layout = *layout;
    }
    return task;
}

// Reads a task's data on the reading thread; false when it cannot be read,
// or was compressed as it was read.
bool readData(Task& task)
{
    if (task.kind == Kind::Jpeg || task.kind == Kind::Fax) {
        try {
            const std::shared_ptr<Buffer> raw = task.stream.getRawStreamData();
            task.data.assign(reinterpret_cast<const char*>(raw->getBuffer()), raw->getSize());
        } catch (const std::exception&) {
            task.data.clear();
        }
        task.storedBytes = task.data.size();
        return !task.data.empty();
    }
    DecodedSink sink(task.data,
                     task.kind == Kind::Image ? maxWholeImageBytes : maxWholeStreamBytes);
    bool filtered = false;
    bool read = false;
    try {
        read = task.stream.pipeStreamData(&sink, &filtered, 0, qpdf_dl_generalized, true, true);
    } catch (const std::exception&) {
        read = false; // damaged data: the writer copies it as it is
    }
    if (!read || !filtered) {
        task.data.clear();
        return false;
    }
    if (sink.streamed()) {
        task.smaller = task.data.size() < task.storedBytes;
        if (!task.smaller)
            task.data.clear();
        task.kind = Kind::General;
        return false;
    }
    return true;
}

const char* filterName(ImageEncoding::Filter filter)
{
    switch (filter) {
    case ImageEncoding::Filter::Ccitt:
        return "/CCITTFaxDecode";
    case ImageEncoding::Filter::Jbig2:
        return "/JBIG2Decode";
    case ImageEncoding::Filter::Flate:
        break;
    }
    return "/FlateDecode";
}

QPDFObjectHandle imageParameters(const ImageEncoding& encoding, const ImageLayout& layout)
{
    QPDFObjectHandle parameters = QPDFObjectHandle::newDictionary();
    if (encoding.filter == ImageEncoding::Filter::Ccitt) {
        parameters.replaceKey("/K", QPDFObjectHandle::newInteger(-1));
        parameters.replaceKey("/Columns", QPDFObjectHandle::newInteger(layout.width));
        parameters.replaceKey("/Rows", QPDFObjectHandle::newInteger(layout.height));
        return parameters;
    }
    if (encoding.predictorColors == 0)
        return QPDFObjectHandle::newNull();
    parameters.replaceKey("/Predictor", QPDFObjectHandle::newInteger(15));
    parameters.replaceKey("/Colors", QPDFObjectHandle::newInteger(encoding.predictorColors));
    parameters.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(encoding.bits));
    parameters.replaceKey("/Columns", QPDFObjectHandle::newInteger(layout.width));
    return parameters;
}

void putBack(Task& task)
{
    QPDFObjectHandle dictionary = task.stream.getDict();
    switch (task.kind) {
    case Kind::General:
        task.stream.replaceStreamData(task.data, QPDFObjectHandle::newName("/FlateDecode"),
                                      QPDFObjectHandle::newNull());
        break;
    case Kind::Jpeg:
        task.stream.replaceStreamData(task.data, QPDFObjectHandle::newName("/DCTDecode"),
                                      soleParameters(dictionary));
        break;
    case Kind::Image:
    case Kind::Fax: {
        const ImageEncoding& encoding = *task.image;
        task.stream.replaceStreamData(encoding.data,
                                      QPDFObjectHandle::newName(filterName(encoding.filter)),
                                      imageParameters(encoding, task.layout));
        dictionary.removeKey("/DL"); // the samples' length may have changed with their form
        if (dictionary.hasKey("/ColorSpace"))
            dictionary.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(encoding.bits));
        if (encoding.colours == ImageEncoding::Colours::Grey) {
            dictionary.replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceGray"));
        } else if (encoding.colours == ImageEncoding::Colours::Indexed) {
            QPDFObjectHandle indexed = QPDFObjectHandle::newArray();
            indexed.appendItem(QPDFObjectHandle::newName("/Indexed"));
            indexed.appendItem(dictionary.getKey("/ColorSpace"));
            indexed.appendItem(QPDFObjectHandle::newInteger(encoding.paletteSize - 1));
            indexed.appendItem(QPDFObjectHandle::newString(encoding.palette));
            dictionary.replaceKey("/ColorSpace", indexed);
        }
        break;
    }
    }
}

} // namespace

bool isJpeg(QPDFObjectHandle dictionary)
{
    std::vector<QPDFObjectHandle> filters = filtersOf(dictionary);
    return filters.size() == 1 && filters.front().isNameAndEquals("/DCTDecode") &&
           dictionary.getKey("/Subtype").isNameAndEquals("/Image");
}

// The parameters of a stream's one filter, unwrapped with it: a one-element
// array beside a bare filter name is ignored by readers, and with it
// /ColorTransform.
QPDFObjectHandle soleParameters(QPDFObjectHandle dictionary)
{
    QPDFObjectHandle parameters = dictionary.getKey("/DecodeParms");
    if (parameters.isArray())
        parameters = parameters.getArrayNItems() == 1 ? parameters.getArrayItem(0)
                                                      : QPDFObjectHandle::newNull();
    return parameters.isDictionary() ? parameters.shallowCopy() : QPDFObjectHandle::newNull();
}

int imageComponents(QPDFObjectHandle space)
{
    if (space.isName()) {
        const std::string name = space.getName();
        return name == "/DeviceGray" ? 1 : name == "/DeviceRGB" ? 3 : name == "/DeviceCMYK" ? 4 : 0;
    }
    if (!space.isArray() || space.getArrayNItems() < 2 || !space.getArrayItem(0).isName())
        return 0;
    const std::string family = space.getArrayItem(0).getName();
    QPDFObjectHandle second = space.getArrayItem(1);
    if (family == "/ICCBased" && second.isStream()) {
        QPDFObjectHandle count = second.getDict().getKey("/N");
        return count.isInteger() ? int(count.getIntValue()) : 0;
    }
    if (family == "/CalGray" || family == "/Indexed" || family == "/Separation")
        return 1;
    if (family == "/CalRGB" || family == "/Lab")
        return 3;
    if (family == "/DeviceN" && second.isArray())
        return second.getArrayNItems();
    return 0;
}

bool plainColours(QPDFObjectHandle space)
{
    if (space.isName())
        return imageComponents(space) != 0;
    if (!space.isArray() || space.getArrayNItems() < 1 || !space.getArrayItem(0).isName())
        return false;
    const std::string family = space.getArrayItem(0).getName();
    return family == "/ICCBased" || family == "/CalGray" || family == "/CalRGB";
}

bool decodesLosslessly(QPDFObjectHandle stream)
{
    // Image codecs are never decoded at this level: spare reading their data.
    static const std::set<std::string> kept{"/DCTDecode", "/JPXDecode", "/JBIG2Decode",
                                            "/CCITTFaxDecode", "/Crypt"};
    for (QPDFObjectHandle& name : filtersOf(stream.getDict())) {
        if (!name.isName() || kept.count(name.getName()) != 0)
            return false;
    }
    return true;
}

bool recompressStreams(QPDF& pdf, bool* usesJbig2)
{
    const std::vector<QPDFObjectHandle> objects = pdf.getAllObjects();
    const DocumentFacts facts = documentFacts(pdf, objects);
    std::vector<Task> tasks;
    long long storedBytes = 0;
    for (QPDFObjectHandle object : objects) {
        if (!object.isStream())
            continue;
        std::optional<Task> task = taskFor(object, facts);
        if (!task)
            continue;
        storedBytes += static_cast<long long>(task->storedBytes);
        if (storedBytes > maxHeldBytes)
            return false;
        tasks.push_back(std::move(*task));
    }

    size_t generalBytes = 0;
    for (const Task& task : tasks)
        generalBytes += task.kind == Kind::General ? task.storedBytes : 0;
    if (generalBytes > mostNearOptimalBytes) {
        for (Task& task : tasks)
            task.level = greedyLevel;
    }
    {
        EncodingQueue queue(tasks);
        for (size_t i = 0; i < tasks.size(); ++i) {
            if (readData(tasks[i]))
                queue.push(i);
        }
        queue.finish();
    }
    for (Task& task : tasks) {
        if (task.smaller)
            putBack(task);
        if (usesJbig2 && task.smaller && task.image &&
            task.image->filter == ImageEncoding::Filter::Jbig2)
            *usesJbig2 = true;
        // Either way the stream is as small as it gets: the writer must not
        // compress it again at its own level.
        task.stream.setFilterOnWrite(false);
    }
    return true;
}

} // namespace batch
