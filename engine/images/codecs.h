// The optimiser's lossless encoders: pure functions on bytes, safe to call
// from any thread. Not part of the document layer's public header.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace batch {

// zlib-format data, as /FlateDecode reads it, from libdeflate at the level
// given (1 fast to 12 strongest).
std::string deflateData(std::string_view data, int level);

// The same JPEG with optimised Huffman tables, progressive where that is
// smaller, without the markers a PDF reader ignores (Exif, XMP, ICC, comments,
// thumbnails): the DCT coefficients are untouched, so every decoder shows the
// same pixels; progressive from 10 KB on. Kept: the JFIF and Adobe markers, which tell decoders how
// to read the colours. Empty for anything but a clean 8-bit grey or three-component JPEG, and when
// nothing is gained.
std::optional<std::string> transcodeJpeg(std::string_view jpeg);

// Rows of 1-bit samples, each row padded to whole bytes, as CCITT Group 4 data
// that a /CCITTFaxDecode filter with /K -1 and /BlackIs1 false decodes to the
// same samples. Empty when the encoder fails.
std::optional<std::string> encodeG4(std::string_view rows, int width, int height);

// A /CCITTFaxDecode filter's parameters.
struct FaxParameters
{
    int k = 0; // < 0: Group 4; 0: one-dimensional Group 3; > 0: mixed
    int columns = 1728;
    bool endOfLine = false;
    bool encodedByteAlign = false;
    bool blackIs1 = false;
};
// Fax data decoded as the filter puts it out, `height` rows of whole bytes;
// nothing when the data holds fewer rows or a code it cannot read.
std::optional<std::string> decodeFax(std::string_view data, const FaxParameters& parameters,
                                     int height);

// The same rows (0 is black, as /DeviceGray reads one bit) as the embedded
// JBIG2 stream that /JBIG2Decode without globals decodes to them: a page
// information segment and one immediate lossless generic region, arithmetic
// coded with template 0 and typical prediction. Lossless, never symbols.
std::string encodeJbig2(std::string_view rows, int width, int height);

// A text scan as mixed raster content: its ink as a bilevel mask at full
// resolution (0 where ink shows, as /ImageMask reads it), the ink's colours
// at 1/`foreground` of it, the paper with the ink taken out at 1/`background`,
// and the photographs on the page at 1/`picture`, kept out of the mask.
struct MrcScales
{
    int background = 3;         // 300 DPI scans: paper at 100 DPI,
    int foreground = 8;         // ink colours at 37.5 DPI,
    int picture = 2;            // photographs at 150 DPI,
    int pictureMinimum = 300;   // when at least an inch each way
    double mostCoverage = 0.40; // more ink than this is a picture, not text
    double leastCoverage = 0.0002;
    double mostPictures = 0.60; // a page mostly photograph is one
};
struct MrcPicture
{
    int x = 0; // the region of the scan it shows, in the scan's pixels
    int y = 0;
    int width = 0;
    int height = 0;
    std::string samples; // scaled to scaledWidth × scaledHeight
    int scaledWidth = 0;
    int scaledHeight = 0;
};
// Dark ink and coloured ink (seals, coloured pens) have a mask and colours
// each, so that where they meet neither takes the other's colour; a page
// without coloured ink has no second mask.
struct MrcLayers
{
    std::string mask;
    std::string foreground; // samples of the scan's components
    std::string colourMask;
    std::string colourForeground; // of the foreground's size
    int foregroundWidth = 0;
    int foregroundHeight = 0;
    std::string background;
    int backgroundWidth = 0;
    int backgroundHeight = 0;
    std::vector<MrcPicture> pictures;
    double coverage = 0; // the mask's share of the page
};
// Nothing when the page is not one to separate: too much ink or too little,
// mostly photograph, or more photographs than a page of text holds.
std::optional<MrcLayers> separateLayers(std::string_view samples, int width, int height,
                                        int components, const MrcScales& scales);

// Lossy coding, for compression only. The decoder gives 8-bit grey or RGB
// samples of a JPEG with exactly these components and dimensions, and none
// for damaged data. The encoder writes progressive JPEG with optimised tables;
// `subsample` halves the colour resolution (4:2:0). `colorTransform` is the
// PDF's /ColorTransform (0: RGB stored as it is, 1: YCbCr), or -1 where the
// PDF says nothing and the JPEG's markers decide.
std::optional<std::string> decodeJpeg(std::string_view jpeg, int components, int width, int height,
                                      int colorTransform = -1);
std::optional<std::string> encodeJpeg(const std::string& samples, int width, int height,
                                      int components, int quality, bool subsample);

// Levels of one component, each below 2^bits, packed at `bits` per sample,
// the first sample highest and each row padded to a byte.
std::string packed(const std::string& levels, int width, int height, int bits);

// 8-bit samples scaled down to newWidth × newHeight by area averaging.
std::string scaleByArea(std::string_view samples, int width, int height, int components,
                        int newWidth, int newHeight);

// How an image's samples are laid out, and which exact re-representations its
// dictionary allows.
struct ImageLayout
{
    int width = 0;
    int height = 0;
    int components = 0;
    int bits = 0;
    bool mayRecolour = false; // grey or fewer bits may replace the samples
    bool rgbMayBeGrey = false;
    bool mayIndex = false;
};

// An image's new encoding; the dictionary changes it needs come with it.
struct ImageEncoding
{
    enum class Colours
    {
        Same,
        Grey,
        Indexed
    };
    enum class Filter
    {
        Flate,
        Ccitt, // Group 4, /BlackIs1 false
        Jbig2, // embedded, without globals
    };
    std::string data;
    Filter filter = Filter::Flate;
    int predictorColors = 0; // PNG predictors per row over this many components; 0: none
    int bits = 0;            // bits per component of the data
    Colours colours = Colours::Same;
    int paletteSize = 0;
    std::string palette; // /Indexed: entries of the original colour space
};

// The smallest exact encoding of decoded image samples found, if it is
// smaller than storedBytes.
std::optional<ImageEncoding> encodeImage(std::string_view samples, const ImageLayout& layout,
                                         size_t storedBytes);

} // namespace batch
