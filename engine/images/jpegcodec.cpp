// Decoding and encoding whole JPEG images for compression, where the
// pixels change; lossless transcoding is in jpegtranscode.cpp. libjpeg
// reports errors by longjmp: what the jump may leave behind lives in one
// plain struct that is cleaned up after it.
#include "engine/images/codecs.h"
#include "engine/images/jpegtrap.h"

#include <cstdlib>
#include <vector>

namespace batch {

namespace {

struct Decoder
{
    JpegTrap trap;
    jpeg_decompress_struct info{};
    bool made = false;
    ~Decoder()
    {
        if (made)
            jpeg_destroy_decompress(&info);
    }
};

struct Encoder
{
    JpegTrap trap;
    jpeg_compress_struct info{};
    bool made = false;
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    ~Encoder()
    {
        if (made)
            jpeg_destroy_compress(&info);
        std::free(out);
    }
};

bool decode(Decoder& d, std::string_view jpeg, int components, int width, int height,
            int colorTransform, std::string& samples)
{
    d.info.err = d.trap.install();
    if (setjmp(d.trap.jump) != 0)
        return false;
    jpeg_create_decompress(&d.info);
    d.made = true;
    jpeg_mem_src(&d.info, reinterpret_cast<const unsigned char*>(jpeg.data()),
                 static_cast<unsigned long>(jpeg.size()));
    if (jpeg_read_header(&d.info, TRUE) != JPEG_HEADER_OK || d.info.num_components != components ||
        int(d.info.image_width) != width || int(d.info.image_height) != height ||
        d.info.data_precision != 8)
        return false;
    // The PDF's word on the colour transform overrides libjpeg's guess from
    // markers, as Poppler and MuPDF let it.
    if (components == 3 && colorTransform >= 0)
        d.info.jpeg_color_space = colorTransform == 0 ? JCS_RGB : JCS_YCbCr;
    d.info.out_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&d.info);
    const size_t stride = size_t(width) * size_t(components);
    samples.assign(stride * size_t(height), '\0');
    while (d.info.output_scanline < d.info.output_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(samples.data() + stride * d.info.output_scanline);
        jpeg_read_scanlines(&d.info, &row, 1);
    }
    jpeg_finish_decompress(&d.info);
    return d.trap.warnings == 0;
}

bool encode(Encoder& e, const std::string& samples, int width, int height, int components,
            int quality, bool subsample)
{
    e.info.err = e.trap.install();
    if (setjmp(e.trap.jump) != 0)
        return false;
    jpeg_create_compress(&e.info);
    e.made = true;
    jpeg_mem_dest(&e.info, &e.out, &e.outSize);
    e.info.image_width = JDIMENSION(width);
    e.info.image_height = JDIMENSION(height);
    e.info.input_components = components;
    e.info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&e.info);
    jpeg_set_quality(&e.info, quality, TRUE);
    if (components == 3 && !subsample) {
        e.info.comp_info[0].h_samp_factor = 1;
        e.info.comp_info[0].v_samp_factor = 1;
    }
    e.info.optimize_coding = TRUE;
    e.info.dct_method = JDCT_ISLOW;
    jpeg_simple_progression(&e.info);
    jpeg_start_compress(&e.info, TRUE);
    const size_t stride = size_t(width) * size_t(components);
    while (e.info.next_scanline < e.info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(
            reinterpret_cast<const unsigned char*>(samples.data() + stride * e.info.next_scanline));
        jpeg_write_scanlines(&e.info, &row, 1);
    }
    jpeg_finish_compress(&e.info);
    return true;
}

} // namespace

std::optional<std::string> decodeJpeg(std::string_view jpeg, int components, int width, int height,
                                      int colorTransform)
{
    if (components != 1 && components != 3)
        return std::nullopt;
    Decoder decoder;
    std::string samples;
    if (!decode(decoder, jpeg, components, width, height, colorTransform, samples))
        return std::nullopt;
    return samples;
}

std::optional<std::string> encodeJpeg(const std::string& samples, int width, int height,
                                      int components, int quality, bool subsample)
{
    if ((components != 1 && components != 3) ||
        samples.size() != size_t(width) * size_t(height) * size_t(components))
        return std::nullopt;
    Encoder encoder;
    if (!encode(encoder, samples, width, height, components, quality, subsample))
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(encoder.out), encoder.outSize);
}

} // namespace batch
