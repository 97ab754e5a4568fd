// CCITT Group 4 through libtiff: a one-strip TIFF is written to memory and
// its strip, which is exactly what /CCITTFaxDecode reads, is taken out.
#include "engine/images/codecs.h"

#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

namespace batch {

namespace {

struct MemoryFile
{
    std::string bytes;
    toff_t position = 0;
};

MemoryFile& fileOf(thandle_t handle)
{
    return *static_cast<MemoryFile*>(handle);
}

tmsize_t readFile(thandle_t handle, void* data, tmsize_t size)
{
    MemoryFile& file = fileOf(handle);
    if (file.position >= file.bytes.size() || size <= 0)
        return 0;
    const size_t count = std::min(size_t(size), size_t(file.bytes.size() - file.position));
    std::memcpy(data, file.bytes.data() + file.position, count);
    file.position += count;
    return tmsize_t(count);
}

tmsize_t writeFile(thandle_t handle, void* data, tmsize_t size)
{
    MemoryFile& file = fileOf(handle);
    if (size <= 0)
        return 0;
    const size_t end = size_t(file.position) + size_t(size);
    if (file.bytes.size() < end)
        file.bytes.resize(end);
    std::memcpy(file.bytes.data() + file.position, data, size_t(size));
    file.position = end;
    return size;
}

toff_t seekFile(thandle_t handle, toff_t offset, int whence)
{
    MemoryFile& file = fileOf(handle);
    if (whence == SEEK_CUR)
        offset += file.position;
    else if (whence == SEEK_END)
        offset += file.bytes.size();
    file.position = offset;
    return offset;
}

int closeFile(thandle_t)
{
    return 0;
}

toff_t sizeOfFile(thandle_t handle)
{
    return fileOf(handle).bytes.size();
}

int mapFile(thandle_t, void**, toff_t*)
{
    return 0;
}

void unmapFile(thandle_t, void*, toff_t) {}

struct TiffClose
{
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

} // namespace

std::optional<std::string> encodeG4(std::string_view rows, int width, int height)
{
    // libtiff's messages would reach the worker's standard error.
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
    const size_t stride = (size_t(width) + 7) / 8;
    if (width <= 0 || height <= 0 || rows.size() < stride * size_t(height))
        return std::nullopt;
    MemoryFile file;
    std::unique_ptr<TIFF, TiffClose> tiff(TIFFClientOpen("g4", "w", &file, readFile, writeFile,
                                                         seekFile, closeFile, sizeOfFile, mapFile,
                                                         unmapFile));
    if (!tiff)
        return std::nullopt;
    TIFFSetField(tiff.get(), TIFFTAG_IMAGEWIDTH, uint32_t(width));
    TIFFSetField(tiff.get(), TIFFTAG_IMAGELENGTH, uint32_t(height));
    TIFFSetField(tiff.get(), TIFFTAG_BITSPERSAMPLE, uint16_t(1));
    TIFFSetField(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
    TIFFSetField(tiff.get(), TIFFTAG_ROWSPERSTRIP, uint32_t(height));
    TIFFSetField(tiff.get(), TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_CCITTFAX4));
    TIFFSetField(tiff.get(), TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_MINISWHITE));
    TIFFSetField(tiff.get(), TIFFTAG_FILLORDER, uint16_t(FILLORDER_MSB2LSB));
    TIFFSetField(tiff.get(), TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
    // The coder calls 0 bits white; the filter without /BlackIs1 decodes white
    // as 1 bits. Inverted here, the filter gives back the samples as they were.
    std::string inverted(rows.substr(0, stride * size_t(height)));
    for (char& byte : inverted)
        byte = char(~byte);
    if (TIFFWriteEncodedStrip(tiff.get(), 0, inverted.data(), tmsize_t(inverted.size())) < 0)
        return std::nullopt;
    uint64_t* offsets = nullptr;
    uint64_t* counts = nullptr;
    if (TIFFGetField(tiff.get(), TIFFTAG_STRIPOFFSETS, &offsets) != 1 ||
        TIFFGetField(tiff.get(), TIFFTAG_STRIPBYTECOUNTS, &counts) != 1 || !offsets || !counts ||
        offsets[0] + counts[0] > file.bytes.size())
        return std::nullopt;
    return file.bytes.substr(size_t(offsets[0]), size_t(counts[0]));
}

} // namespace batch
