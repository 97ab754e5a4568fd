// Lossless recompression on every core. QPDF's writer recompresses each stream
// as it writes it, on one thread, and Flate at level 9 was three fifths of an
// optimisation; here one thread decodes (QPDF is not thread-safe) while the
// others compress. The result is byte for byte what the writer would produce:
// zlib with the same level and parameters.
#include "engine/qpdfsupport.h"
#include "protocol/request.h"

#include <QThread>

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

// The compressed results are held until the writer runs; their raw sizes bound them.
constexpr long long maxHeldBytes = 256LL * 1024 * 1024;
// Decoded data waiting for a compressing thread.
constexpr size_t maxQueuedBytes = 64 * 1024 * 1024;
// Decoded data of one stream held whole for a compressing thread. Beyond it
// the stream is compressed as it is decoded: decoded bytes in flight stay
// below maxQueuedBytes + (2 × threads + 1) × maxWholeStreamBytes, whatever
// a stream decodes to (1 GiB of zeros fits in 1 MiB of Flate data).
constexpr size_t maxWholeStreamBytes = 16 * 1024 * 1024;

bool mayRecompress(QPDFObjectHandle stream)
{
    QPDFObjectHandle dictionary = stream.getDict();
    QPDFObjectHandle type = dictionary.getKey("/Type");
    // The writer treats metadata specially; object and cross-reference
    // streams are never written as they are.
    if (type.isName() &&
        (type.getName() == "/Metadata" || type.getName() == "/ObjStm" || type.getName() == "/XRef"))
        return false;
    // Image codecs are never decoded at this level: spare reading their data.
    static const std::set<std::string> kept{"/DCTDecode", "/JPXDecode", "/JBIG2Decode",
                                            "/CCITTFaxDecode", "/Crypt"};
    QPDFObjectHandle filter = dictionary.getKey("/Filter");
    std::vector<QPDFObjectHandle> filters;
    if (filter.isArray())
        filters = filter.getArrayAsVector();
    else if (!filter.isNull())
        filters.push_back(filter);
    for (QPDFObjectHandle& name : filters) {
        if (!name.isName() || kept.count(name.getName()) != 0)
            return false;
    }
    return true;
}

std::string deflateAtLevel9(const std::string& data)
{
    uLongf size = compressBound(uLong(data.size()));
    std::string compressed(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &size,
                  reinterpret_cast<const Bytef*>(data.data()), uLong(data.size()), 9) != Z_OK)
        throw std::runtime_error("数据压缩失败。");
    compressed.resize(size);
    return compressed;
}

// Collects a stream's decoded data, and past maxWholeStreamBytes deflates
// it as it arrives instead, with the parameters deflateAtLevel9 uses.
class DecodedSink : public Pipeline
{
public:
    explicit DecodedSink(std::string& data) : Pipeline("decoded", nullptr), m_data(data) {}
    ~DecodedSink() override
    {
        if (m_streaming)
            deflateEnd(&m_zlib);
    }
    DecodedSink(const DecodedSink&) = delete;
    DecodedSink& operator=(const DecodedSink&) = delete;

    void write(unsigned char const* data, size_t length) override
    {
        if (!m_streaming && m_data.size() + length <= maxWholeStreamBytes) {
            m_data.append(reinterpret_cast<const char*>(data), length);
            return;
        }
        if (!m_streaming) {
            if (deflateInit(&m_zlib, 9) != Z_OK)
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
            // Data that does not compress is left to the writer, which copies it.
            if (m_data.size() > size_t(maxHeldBytes))
                throw std::runtime_error("数据压缩后仍过大。");
        } while (m_zlib.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
    }

    std::string& m_data;
    z_stream m_zlib{};
    bool m_streaming = false;
};

// Compressing threads take decoded streams from a bounded queue.
class CompressionQueue
{
public:
    explicit CompressionQueue(std::vector<std::string>& data) : m_data(data)
    {
        // As many as the lanes the runner granted this job, not the machine's cores.
        const int count = std::max(1, grantedLanes());
        for (int i = 0; i < count; ++i)
            m_threads.emplace_back([this] { work(); });
    }
    ~CompressionQueue() { stop(); }
    CompressionQueue(const CompressionQueue&) = delete;
    CompressionQueue& operator=(const CompressionQueue&) = delete;

    void push(size_t index)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_queuedBytes <= maxQueuedBytes; });
        m_queue.push_back(index);
        m_queuedBytes += m_data[index].size();
        m_changed.notify_all();
    }

    // Waits for every pushed stream; rethrows a compressing thread's failure.
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
            const size_t decodedSize = m_data[index].size();
            try {
                m_data[index] = deflateAtLevel9(m_data[index]);
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

    std::vector<std::string>& m_data;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<size_t> m_queue;
    size_t m_queuedBytes = 0;
    bool m_closed = false;
    std::exception_ptr m_failure;
    std::vector<std::thread> m_threads;
};

} // namespace

bool recompressStreams(QPDF& pdf)
{
    std::vector<QPDFObjectHandle> streams;
    long long rawBytes = 0;
    for (QPDFObjectHandle& object : pdf.getAllObjects()) {
        if (!object.isStream() || !mayRecompress(object))
            continue;
        QPDFObjectHandle length = object.getDict().getKey("/Length");
        rawBytes += length.isInteger() ? std::max(0LL, length.getIntValue()) : 0;
        if (rawBytes > maxHeldBytes)
            return false;
        streams.push_back(object);
    }

    std::vector<std::string> data(streams.size());
    std::vector<bool> decoded(streams.size(), false);
    {
        CompressionQueue queue(data);
        for (size_t i = 0; i < streams.size(); ++i) {
            DecodedSink sink(data[i]);
            bool filtered = false;
            bool read = false;
            try {
                read =
                    streams[i].pipeStreamData(&sink, &filtered, 0, qpdf_dl_generalized, true, true);
            } catch (const std::exception&) {
                read = false; // damaged data: the writer copies it as it is
            }
            if (!read || !filtered) {
                data[i].clear();
                continue;
            }
            decoded[i] = true;
            if (!sink.streamed())
                queue.push(i);
        }
        queue.finish();
    }
    for (size_t i = 0; i < streams.size(); ++i) {
        if (decoded[i])
            streams[i].replaceStreamData(data[i], QPDFObjectHandle::newName("/FlateDecode"),
                                         QPDFObjectHandle::newNull());
    }
    return true;
}

} // namespace batch
