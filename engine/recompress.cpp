// Lossless recompression on every core. QPDF's writer recompresses each stream
// as it writes it, on one thread, and Flate at level 9 was three fifths of an
// optimisation; here one thread decodes (QPDF is not thread-safe) while the
// others compress. The result is byte for byte what the writer would produce:
// zlib with the same level and parameters.
#include "engine/qpdfsupport.h"

#include <QThread>

#include <qpdf/Pl_String.hh>
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
        throw std::runtime_error("compression failed");
    compressed.resize(size);
    return compressed;
}

// Compressing threads take decoded streams from a bounded queue.
class CompressionQueue
{
public:
    explicit CompressionQueue(std::vector<std::string>& data) : m_data(data)
    {
        const int count = std::max(1, QThread::idealThreadCount());
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
            Pl_String sink("decoded", nullptr, data[i]);
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
