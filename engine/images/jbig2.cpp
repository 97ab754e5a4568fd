// Lossless JBIG2: one generic region, arithmetic coded with template 0 and
// typical prediction, as ITU-T T.88 describes it (6.2 and annex E). Never
// symbol coding: a symbol put in place of a similar one is how scanned
// invoices came to show 8 where 6 was, and Chinese characters differ by one
// stroke.
#include "engine/images/codecs.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace batch {

namespace {

// The probability estimation of the MQ coder (T.88, table E.1): the LPS
// probability, the next state after an MPS and after an LPS, and whether an
// LPS swaps the sense of the MPS.
struct MqState
{
    std::uint32_t qe;
    std::uint8_t nextMps;
    std::uint8_t nextLps;
    bool swap;
};

constexpr std::array<MqState, 47> mqStates{{
    {0x5601, 1, 1, true},    {0x3401, 2, 6, false},   {0x1801, 3, 9, false},
    {0x0AC1, 4, 12, false},  {0x0521, 5, 29, false},  {0x0221, 38, 33, false},
    {0x5601, 7, 6, true},    {0x5401, 8, 14, false},  {0x4801, 9, 14, false},
    {0x3801, 10, 14, false}, {0x3001, 11, 17, false}, {0x2401, 12, 18, false},
    {0x1C01, 13, 20, false}, {0x1601, 29, 21, false}, {0x5601, 15, 14, true},
    {0x5401, 16, 14, false}, {0x5101, 17, 15, false}, {0x4801, 18, 16, false},
    {0x3801, 19, 17, false}, {0x3401, 20, 18, false}, {0x3001, 21, 19, false},
    {0x2801, 22, 19, false}, {0x2401, 23, 20, false}, {0x2201, 24, 21, false},
    {0x1C01, 25, 22, false}, {0x1801, 26, 23, false}, {0x1601, 27, 24, false},
    {0x1401, 28, 25, false}, {0x1201, 29, 26, false}, {0x1101, 30, 27, false},
    {0x0AC1, 31, 28, false}, {0x09C1, 32, 29, false}, {0x08A1, 33, 30, false},
    {0x0521, 34, 31, false}, {0x0441, 35, 32, false}, {0x02A1, 36, 33, false},
    {0x0221, 37, 34, false}, {0x0141, 38, 35, false}, {0x0111, 39, 36, false},
    {0x0085, 40, 37, false}, {0x0049, 41, 38, false}, {0x0025, 42, 39, false},
    {0x0015, 43, 40, false}, {0x0009, 44, 41, false}, {0x0005, 45, 42, false},
    {0x0001, 45, 43, false}, {0x5601, 46, 46, false},
}};

// The MQ arithmetic encoder of T.88 annex E, with its byte stuffing after 0xFF.
class MqEncoder
{
public:
    MqEncoder() : m_out(1, 0) {} // the byte before the first, dropped at the end

    void encode(std::uint32_t context, int bit)
    {
        std::uint8_t& index = m_index[context];
        std::uint8_t& mps = m_mps[context];
        const std::uint32_t qe = mqStates[index].qe;
        m_a -= qe;
        if (bit == mps) {
            if ((m_a & 0x8000) != 0) {
                m_c += qe;
                return;
            }
            if (m_a < qe)
                m_a = qe;
            else
                m_c += qe;
            index = mqStates[index].nextMps;
        } else {
            if (m_a < qe)
                m_c += qe;
            else
                m_a = qe;
            if (mqStates[index].swap)
                mps = std::uint8_t(1 - mps);
            index = mqStates[index].nextLps;
        }
        renormalise();
    }

    // The coded bytes, ended with the marker 0xFF 0xAC.
    std::string finish()
    {
        const std::uint32_t top = m_c + m_a;
        m_c |= 0xFFFF;
        if (m_c >= top)
            m_c -= 0x8000;
        m_c <<= m_ct;
        byteOut();
        m_c <<= m_ct;
        byteOut();
        if (m_out.back() != 0xFF)
            m_out.push_back(0xFF);
        m_out.push_back(0xAC);
        return std::string(m_out.begin() + 1, m_out.end());
    }

private:
    void renormalise()
    {
        do {
            m_a <<= 1;
            m_c <<= 1;
            if (--m_ct == 0)
                byteOut();
        } while ((m_a & 0x8000) == 0);
    }

    void byteOut()
    {
        if (m_out.back() == 0xFF) {
            putHigh();
            return;
        }
        if (m_c >= 0x8000000) {
            ++m_out.back(); // the carry
            if (m_out.back() == 0xFF) {
                m_c &= 0x7FFFFFF;
                putHigh();
                return;
            }
        }
        m_out.push_back(std::uint8_t(m_c >> 19));
        m_c &= 0x7FFFF;
        m_ct = 8;
    }

    // After 0xFF only seven bits go into the next byte.
    void putHigh()
    {
        m_out.push_back(std::uint8_t(m_c >> 20));
        m_c &= 0xFFFFF;
        m_ct = 7;
    }

    std::uint32_t m_a = 0x8000;
    std::uint32_t m_c = 0;
    int m_ct = 12;
    std::vector<std::uint8_t> m_out;
    std::vector<std::uint8_t> m_index = std::vector<std::uint8_t>(1 << 16, 0);
    std::vector<std::uint8_t> m_mps = std::vector<std::uint8_t>(1 << 16, 0);
};

// The bitmap as JBIG2 sees it: 1 is black, rows of whole bytes, and every
// pixel outside it white.
class Bitmap
{
public:
    Bitmap(std::string_view rows, int width, int height)
        : m_width(width), m_height(height), m_stride((width + 7) / 8),
          // A PDF decodes 0 as black; the filter turns JBIG2's 1 into that.
          m_bits(rows.begin(), rows.end())
    {
        for (std::uint8_t& byte : m_bits)
            byte = std::uint8_t(~byte);
    }

    int at(int x, int y) const
    {
        if (x < 0 || y < 0 || x >= m_width || y >= m_height)
            return 0;
        return (m_bits[size_t(y) * size_t(m_stride) + size_t(x >> 3)] >> (7 - (x & 7))) & 1;
    }

    // Whether row y shows exactly what the row above it shows (all white above the first).
    bool repeatsRowAbove(int y) const
    {
        const std::uint8_t* row = m_bits.data() + size_t(y) * size_t(m_stride);
        const int whole = m_width / 8;
        const std::uint8_t lastMask = std::uint8_t(0xFF00 >> (m_width % 8));
        if (y == 0) {
            return std::all_of(row, row + whole, [](std::uint8_t byte) { return byte == 0; }) &&
                   (whole == m_stride || (row[whole] & lastMask) == 0);
        }
        const std::uint8_t* above = row - m_stride;
        return std::equal(row, row + whole, above) &&
               (whole == m_stride || ((row[whole] ^ above[whole]) & lastMask) == 0);
    }

private:
    int m_width;
    int m_height;
    int m_stride;
    std::vector<std::uint8_t> m_bits;
};

// Template 0 with its adaptive pixels where T.88 puts them by default,
// (3,-1), (-3,-1), (2,-2) and (-2,-2): the context of pixel x is the four
// pixels before it (bits 0-3, nearest first), the seven from x+3 to x-3 of
// the row above (bits 4-10) and the five from x+2 to x-2 two rows up (bits
// 11-15). Each row's windows slide along it, one pixel read per row a step.
void codeRow(MqEncoder& coder, const Bitmap& bitmap, int width, int y)
{
    std::uint32_t above = 0;
    std::uint32_t twoAbove = 0;
    for (int dx = 0; dx <= 3; ++dx)
        above |= std::uint32_t(bitmap.at(dx, y - 1)) << (3 - dx);
    for (int dx = 0; dx <= 2; ++dx)
        twoAbove |= std::uint32_t(bitmap.at(dx, y - 2)) << (2 - dx);
    std::uint32_t before = 0;
    for (int x = 0; x < width; ++x) {
        const int pixel = bitmap.at(x, y);
        coder.encode(before | above << 4 | twoAbove << 11, pixel);
        before = (before << 1 | std::uint32_t(pixel)) & 0xF;
        above = (above << 1 | std::uint32_t(bitmap.at(x + 4, y - 1))) & 0x7F;
        twoAbove = (twoAbove << 1 | std::uint32_t(bitmap.at(x + 3, y - 2))) & 0x1F;
    }
}

// The context in which template 0 codes "this row repeats the one above".
constexpr std::uint32_t typicalRowContext = 0x9B25;

std::string codedRegion(const Bitmap& bitmap, int width, int height)
{
    MqEncoder coder;
    int typical = 0;
    for (int y = 0; y < height; ++y) {
        const int repeats = bitmap.repeatsRowAbove(y) ? 1 : 0;
        coder.encode(typicalRowContext, repeats ^ typical);
        typical = repeats;
        if (!repeats)
            codeRow(coder, bitmap, width, y);
    }
    return coder.finish();
}

void put32(std::string& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(char((value >> shift) & 0xFF));
}

// A segment's header: its number, its type, no segments referred to, page 1.
void putSegmentHeader(std::string& out, std::uint32_t number, std::uint8_t type,
                      std::uint32_t length)
{
    put32(out, number);
    out.push_back(char(type));
    out.push_back(0); // refers to none, retains nothing
    out.push_back(1); // page 1
    put32(out, length);
}

constexpr std::uint8_t pageInformation = 48;
constexpr std::uint8_t immediateLosslessGenericRegion = 39;

} // namespace

std::string encodeJbig2(std::string_view rows, int width, int height)
{
    const Bitmap bitmap(rows, width, height);
    const std::string coded = codedRegion(bitmap, width, height);
    std::string out;
    putSegmentHeader(out, 0, pageInformation, 19);
    put32(out, std::uint32_t(width));
    put32(out, std::uint32_t(height));
    put32(out, 0);          // resolution unknown, across
    put32(out, 0);          // and down
    out.push_back(1);       // lossless; white by default; OR where regions meet
    out.append(2, char(0)); // not striped
    constexpr std::uint32_t regionHeader = 17 + 1 + 8;
    putSegmentHeader(out, 1, immediateLosslessGenericRegion,
                     regionHeader + std::uint32_t(coded.size()));
    put32(out, std::uint32_t(width));
    put32(out, std::uint32_t(height));
    put32(out, 0);             // at the page's left
    put32(out, 0);             // and top
    out.push_back(0);          // OR onto the page
    out.push_back(char(0x08)); // arithmetic, template 0, typical prediction
    for (const int at : {3, -1, -3, -1, 2, -2, -2, -2})
        out.push_back(char(at));
    return out + coded;
}

} // namespace batch
