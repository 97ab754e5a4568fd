#include "ocr/tifffile.h"

#include <QFile>

#include <cstdio>

namespace batch {

namespace {

QFile& fileOf(thandle_t handle)
{
    return *static_cast<QFile*>(handle);
}

tmsize_t readFrom(thandle_t handle, void* data, tmsize_t size)
{
    return fileOf(handle).read(static_cast<char*>(data), size);
}

tmsize_t writeTo(thandle_t handle, void* data, tmsize_t size)
{
    return fileOf(handle).write(static_cast<const char*>(data), size);
}

toff_t seekIn(thandle_t handle, toff_t offset, int whence)
{
    QFile& file = fileOf(handle);
    const qint64 base = whence == SEEK_CUR ? file.pos() : whence == SEEK_END ? file.size() : 0;
    return file.seek(base + qint64(offset)) ? toff_t(file.pos()) : toff_t(-1);
}

int keepOpen(thandle_t)
{
    return 0;
}

toff_t sizeOf(thandle_t handle)
{
    return toff_t(fileOf(handle).size());
}

} // namespace

TIFF* openTiff(QFile& file, const char* mode)
{
    return TIFFClientOpen("image.tif", mode, &file, readFrom, writeTo, seekIn, keepOpen, sizeOf,
                          nullptr, nullptr);
}

} // namespace batch
