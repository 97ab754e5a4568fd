// libdeflate finds shorter matches than zlib at its highest levels and is
// faster at every level. A compressor is kept per thread and level: setting
// one up for level 12 costs more than compressing a small stream.
#include "engine/codecs.h"

#include <libdeflate.h>

#include <array>
#include <memory>
#include <stdexcept>

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

libdeflate_compressor* compressorFor(int level)
{
    thread_local std::array<Compressor, 13> compressors;
    Compressor& compressor = compressors.at(size_t(level));
    if (!compressor)
        compressor.reset(libdeflate_alloc_compressor(level));
    if (!compressor)
        throw std::runtime_error("数据压缩失败。");
    return compressor.get();
}

} // namespace

std::string deflateData(std::string_view data, int level)
{
    libdeflate_compressor* compressor = compressorFor(level);
    std::string out(libdeflate_zlib_compress_bound(compressor, data.size()), '\0');
    const size_t size =
        libdeflate_zlib_compress(compressor, data.data(), data.size(), out.data(), out.size());
    if (size == 0)
        throw std::runtime_error("数据压缩失败。");
    out.resize(size);
    return out;
}

} // namespace batch
