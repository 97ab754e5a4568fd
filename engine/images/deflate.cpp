// libdeflate finds shorter matches than zlib at its highest levels and is
// faster at every level. Compressors are kept for reuse, per level: setting
// one up for level 12 costs more than compressing a small stream. They are
// lent out one call at a time from a shared pool rather than kept in each
// thread's storage: on Windows (mingw-w64) a thread-local object's destructor
// in a DLL ran on freed storage when the thread ended, and crashed the worker.
#include "engine/images/codecs.h"

#include <libdeflate.h>

#include <array>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace batch {

namespace {

struct CompressorFree
{
    void operator()(libdeflate_compressor* compressor) const
    {
        libdeflate_free_compressor(compressor);
    }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

class CompressorPool
{
public:
    Compressor take(int level)
    {
        {
            const std::lock_guard lock(m_mutex);
            std::vector<Compressor>& idle = m_idle.at(size_t(level));
            if (!idle.empty()) {
                Compressor compressor = std::move(idle.back());
                idle.pop_back();
                return compressor;
            }
        }
        Compressor compressor(libdeflate_alloc_compressor(level));
        if (!compressor)
            throw std::runtime_error("数据压缩失败。");
        return compressor;
    }

    void give(int level, Compressor compressor)
    {
        const std::lock_guard lock(m_mutex);
        m_idle.at(size_t(level)).push_back(std::move(compressor));
    }

private:
    std::mutex m_mutex;
    std::array<std::vector<Compressor>, 13> m_idle;
};

CompressorPool& compressors()
{
    static CompressorPool pool;
    return pool;
}

// A compressor for one call, back in the pool afterwards, however the call ends.
class LentCompressor
{
public:
    explicit LentCompressor(int level) : m_level(level), m_compressor(compressors().take(level)) {}
    ~LentCompressor() { compressors().give(m_level, std::move(m_compressor)); }
    LentCompressor(const LentCompressor&) = delete;
    LentCompressor& operator=(const LentCompressor&) = delete;
    libdeflate_compressor* get() const { return m_compressor.get(); }

private:
    int m_level;
    Compressor m_compressor;
};

} // namespace

std::string deflateData(std::string_view data, int level)
{
    const LentCompressor lent(level);
    libdeflate_compressor* compressor = lent.get();
    std::string out(libdeflate_zlib_compress_bound(compressor, data.size()), '\0');
    const size_t size =
        libdeflate_zlib_compress(compressor, data.data(), data.size(), out.data(), out.size());
    if (size == 0)
        throw std::runtime_error("数据压缩失败。");
    out.resize(size);
    return out;
}

} // namespace batch
