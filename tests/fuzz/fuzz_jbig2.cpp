// Random bitmaps through the JBIG2 coder and back through jbig2dec: every
// pixel must come back as it was.
#include "engine/images/codecs.h"

extern "C" {
#include <jbig2.h>
}

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void quiet(void*, const char*, Jbig2Severity, uint32_t) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int width = 1 + (data[0] | data[1] << 8) % 2048;
    const int height = 1 + (data[2] | data[3] << 8) % 256;
    const size_t stride = size_t(width + 7) / 8;
    std::string rows(stride * size_t(height), '\xff');
    for (size_t i = 0; i < rows.size() && size > 4; ++i)
        rows[i] = char(data[4 + i % (size - 4)]);
    const std::string jbig2 = batch::encodeJbig2(rows, width, height);

    Jbig2Ctx* context = jbig2_ctx_new(nullptr, JBIG2_OPTIONS_EMBEDDED, nullptr, quiet, nullptr);
    if (jbig2_data_in(context, reinterpret_cast<const unsigned char*>(jbig2.data()),
                      jbig2.size()) != 0 ||
        jbig2_complete_page(context) != 0)
        std::abort();
    Jbig2Image* page = jbig2_page_out(context);
    if (!page || int(page->width) != width || int(page->height) != height)
        std::abort();
    // JBIG2's 1 is black; the rows' 0 is, as a PDF reads them.
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int decoded =
                page->data[size_t(y) * page->stride + size_t(x / 8)] >> (7 - x % 8) & 1;
            const int given = rows[size_t(y) * stride + size_t(x / 8)] >> (7 - x % 8) & 1;
            if (decoded == given)
                std::abort();
        }
    }
    jbig2_release_page(context, page);
    jbig2_ctx_free(context);
    return 0;
}
