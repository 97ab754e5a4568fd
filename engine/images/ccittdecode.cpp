// CCITT fax data (T.4 one- and two-dimensional, T.6) decoded as a PDF's
// /CCITTFaxDecode reads it: end-of-line codes accepted wherever they stand,
// required only with /EndOfLine, rows begun on byte boundaries with
// /EncodedByteAlign. Anything it does not understand (uncompressed mode, a
// code that is none, fewer rows than the image has) ends in nothing, and the
// image keeps its data.
#include "engine/images/codecs.h"

#include <array>
#include <cstdint>
#include <vector>

namespace batch {

namespace {

struct Code
{
    const char* bits;
    int run;
};

// T.4 tables 2 and 3: terminating codes 0-63 and make-up codes to 1728, then
// the make-up codes both colours share, 1792-2560.
constexpr Code whiteCodes[] = {
    {"00110101", 0},     {"000111", 1},       {"0111", 2},         {"1000", 3},
    {"1011", 4},         {"1100", 5},         {"1110", 6},         {"1111", 7},
    {"10011", 8},        {"10100", 9},        {"00111", 10},       {"01000", 11},
    {"001000", 12},      {"000011", 13},      {"110100", 14},      {"110101", 15},
    {"101010", 16},      {"101011", 17},      {"0100111", 18},     {"0001100", 19},
    {"0001000", 20},     {"0010111", 21},     {"0000011", 22},     {"0000100", 23},
    {"0101000", 24},     {"0101011", 25},     {"0010011", 26},     {"0100100", 27},
    {"0011000", 28},     {"00000010", 29},    {"00000011", 30},    {"00011010", 31},
    {"00011011", 32},    {"00010010", 33},    {"00010011", 34},    {"00010100", 35},
    {"00010101", 36},    {"00010110", 37},    {"00010111", 38},    {"00101000", 39},
    {"00101001", 40},    {"00101010", 41},    {"00101011", 42},    {"00101100", 43},
    {"00101101", 44},    {"00000100", 45},    {"00000101", 46},    {"00001010", 47},
    {"00001011", 48},    {"01010010", 49},    {"01010011", 50},    {"01010100", 51},
    {"01010101", 52},    {"00100100", 53},    {"00100101", 54},    {"01011000", 55},
    {"01011001", 56},    {"01011010", 57},    {"01011011", 58},    {"01001010", 59},
    {"01001011", 60},    {"00110010", 61},    {"00110011", 62},    {"00110100", 63},
    {"11011", 64},       {"10010", 128},      {"010111", 192},     {"0110111", 256},
    {"00110110", 320},   {"00110111", 384},   {"01100100", 448},   {"01100101", 512},
    {"01101000", 576},   {"01100111", 640},   {"011001100", 704},  {"011001101", 768},
    {"011010010", 832},  {"011010011", 896},  {"011010100", 960},  {"011010101", 1024},
    {"011010110", 1088}, {"011010111", 1152}, {"011011000", 1216}, {"011011001", 1280},
    {"011011010", 1344}, {"011011011", 1408}, {"010011000", 1472}, {"010011001", 1536},
    {"010011010", 1600}, {"011000", 1664},    {"010011011", 1728},
};

constexpr Code blackCodes[] = {
    {"0000110111", 0},
    {"010", 1},
    {"11", 2},
    {"10", 3},
    {"011", 4},
    {"0011", 5},
    {"0010", 6},
    {"00011", 7},
    {"000101", 8},
    {"000100", 9},
    {"0000100", 10},
    {"0000101", 11},
    {"0000111", 12},
    {"00000100", 13},
    {"00000111", 14},
    {"000011000", 15},
    {"0000010111", 16},
    {"0000011000", 17},
    {"0000001000", 18},
    {"00001100111", 19},
    {"00001101000", 20},
    {"00001101100", 21},
    {"00000110111", 22},
    {"00000101000", 23},
    {"00000010111", 24},
    {"00000011000", 25},
    {"000011001010", 26},
    {"000011001011", 27},
    {"000011001100", 28},
    {"000011001101", 29},
    {"000001101000", 30},
    {"000001101001", 31},
    {"000001101010", 32},
    {"000001101011", 33},
    {"000011010010", 34},
    {"000011010011", 35},
    {"000011010100", 36},
    {"000011010101", 37},
    {"000011010110", 38},
    {"000011010111", 39},
    {"000001101100", 40},
    {"000001101101", 41},
    {"000011011010", 42},
    {"000011011011", 43},
    {"000001010100", 44},
    {"000001010101", 45},
    {"000001010110", 46},
    {"000001010111", 47},
    {"000001100100", 48},
    {"000001100101", 49},
    {"000001010010", 50},
    {"000001010011", 51},
    {"000000100100", 52},
    {"000000110111", 53},
    {"000000111000", 54},
    {"000000100111", 55},
    {"000000101000", 56},
    {"000001011000", 57},
    {"000001011001", 58},
    {"000000101011", 59},
    {"000000101100", 60},
    {"000001011010", 61},
    {"000001100110", 62},
    {"000001100111", 63},
    {"0000001111", 64},
    {"000011001000", 128},
    {"000011001001", 192},
    {"000001011011", 256},
    {"000000110011", 320},
    {"000000110100", 384},
    {"000000110101", 448},
    {"0000001101100", 512},
    {"0000001101101", 576},
    {"0000001001010", 640},
    {"0000001001011", 704},
    {"0000001001100", 768},
    {"0000001001101", 832},
    {"0000001110010", 896},
    {"0000001110011", 960},
    {"0000001110100", 1024},
    {"0000001110101", 1088},
    {"0000001110110", 1152},
    {"0000001110111", 1216},
    {"0000001010010", 1280},
    {"0000001010011", 1344},
    {"0000001010100", 1408},
    {"0000001010101", 1472},
    {"0000001011010", 1536},
    {"0000001011011", 1600},
    {"0000001100100", 1664},
    {"0000001100101", 1728},
};

constexpr Code sharedMakeUp[] = {
    {"00000001000", 1792},  {"00000001100", 1856},  {"00000001101", 1920},  {"000000010010", 1984},
    {"000000010011", 2048}, {"000000010100", 2112}, {"000000010101", 2176}, {"000000010110", 2240},
    {"000000010111", 2304}, {"000000011100", 2368}, {"000000011101", 2432}, {"000000011110", 2496},
    {"000000011111", 2560},
};

constexpr int longestCode = 13;

// Run lengths by code length and code: -1 where no code is.
class RunTable
{
public:
    template <size_t N> explicit RunTable(const Code (&codes)[N])
    {
        for (int length = 0; length <= longestCode; ++length)
            m_runs[size_t(length)].assign(size_t(1) << length, -1);
        add(codes);
        add(sharedMakeUp);
    }
    int run(int length, std::uint32_t code) const { return m_runs[size_t(length)][code]; }

private:
    template <size_t N> void add(const Code (&codes)[N])
    {
        for (const Code& code : codes) {
            std::uint32_t value = 0;
            int length = 0;
            for (const char* bit = code.bits; *bit; ++bit, ++length)
                value = value << 1 | std::uint32_t(*bit - '0');
            m_runs[size_t(length)][value] = code.run;
        }
    }
    std::array<std::vector<int>, longestCode + 1> m_runs;
};

const RunTable& whiteRuns()
{
    static const RunTable table(whiteCodes);
    return table;
}

const RunTable& blackRuns()
{
    static const RunTable table(blackCodes);
    return table;
}

class BitReader
{
public:
    explicit BitReader(std::string_view data) : m_data(data) {}

    // The next `count` bits (at most 24), zeros past the end.
    std::uint32_t peek(int count) const
    {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i) {
            const size_t bit = m_position + size_t(i);
            const int got =
                bit / 8 < m_data.size() ? (std::uint8_t(m_data[bit / 8]) >> (7 - bit % 8)) & 1 : 0;
            value = value << 1 | std::uint32_t(got);
        }
        return value;
    }
    void skip(int count) { m_position += size_t(count); }
    void alignToByte() { m_position = (m_position + 7) / 8 * 8; }
    bool atEnd() const { return m_position >= m_data.size() * 8; }

private:
    std::string_view m_data;
    size_t m_position = 0;
};

constexpr std::uint32_t endOfLine = 0x001; // twelve bits

// One run of a colour, its make-up codes added up; -1 for no code.
int readRun(BitReader& bits, const RunTable& table)
{
    int total = 0;
    for (;;) {
        int run = -1;
        int length = 1;
        for (; length <= longestCode && run < 0; ++length)
            run = table.run(length, bits.peek(length));
        if (run < 0)
            return -1;
        bits.skip(length - 1);
        total += run;
        if (run < 64)
            return total;
    }
}

// The positions where colours change along a row, white first: even entries
// start black runs, odd ones white runs. Two sentinels at the width end it.
using Changes = std::vector<int>;

class FaxDecoder
{
public:
    FaxDecoder(std::string_view data, const FaxParameters& parameters, int height)
        : m_bits(data), m_parameters(parameters), m_height(height),
          m_stride(size_t(parameters.columns + 7) / 8)
    {}

    std::optional<std::string> decode()
    {
        const int columns = m_parameters.columns;
        if (columns < 1 || columns > 65535 || m_height < 1)
            return std::nullopt;
        Changes reference{columns, columns};
        std::string rows;
        rows.reserve(m_stride * size_t(m_height));
        bool twoDimensional = m_parameters.k < 0;
        bool sawEndOfLine = skipEndOfLine(twoDimensional);
        for (int row = 0; row < m_height; ++row) {
            if (m_parameters.endOfLine && m_parameters.k >= 0 && !sawEndOfLine)
                return std::nullopt;
            Changes changes;
            const bool read = twoDimensional ? readTwoDimensional(reference, changes)
                                             : readOneDimensional(changes);
            if (!read)
                return std::nullopt;
            rows += rendered(changes);
            reference = changes;
            // Byte-aligned rows begin on a byte; where end-of-line codes
            // stand between them, the fill before each code does that, and
            // readers align nothing after it (nor before a 2-D row's tag).
            if (m_parameters.encodedByteAlign && !sawEndOfLine)
                m_bits.alignToByte();
            sawEndOfLine = skipEndOfLine(twoDimensional);
        }
        return rows;
    }

private:
    // Fill bits and an end-of-line code before a row, if there is one; with
    // K > 0 the bit after it says how the row is coded.
    bool skipEndOfLine(bool& twoDimensional)
    {
        bool found = false;
        while (!m_bits.atEnd() && m_bits.peek(12) == 0)
            m_bits.skip(1);
        if (m_bits.peek(12) == endOfLine) {
            m_bits.skip(12);
            found = true;
        }
        if (m_parameters.k > 0) {
            twoDimensional = m_bits.peek(1) == 0;
            m_bits.skip(1);
        }
        return found;
    }

    bool readOneDimensional(Changes& changes)
    {
        const int columns = m_parameters.columns;
        int position = 0;
        bool white = true;
        while (position < columns) {
            const int run = readRun(m_bits, white ? whiteRuns() : blackRuns());
            if (run < 0 || position + run > columns)
                return false;
            position += run;
            changes.push_back(position);
            white = !white;
        }
        return finishChanges(changes);
    }

    bool readTwoDimensional(const Changes& reference, Changes& changes)
    {
        const int columns = m_parameters.columns;
        int a0 = -1;
        bool white = true;
        while (a0 < columns) {
            // b1: the first change on the reference row right of a0 to the
            // colour opposite a0's; b2 the change after it.
            size_t index = 0;
            while (index < reference.size() &&
                   (reference[index] <= a0 || (index % 2 == 0) != white))
                ++index;
            const int b1 = index < reference.size() ? reference[index] : columns;
            const int b2 = index + 1 < reference.size() ? reference[index + 1] : columns;
            const int start = a0 < 0 ? 0 : a0;
            if (m_bits.peek(4) == 0x1) { // pass
                m_bits.skip(4);
                if (b2 > columns)
                    return false;
                a0 = b2;
                continue;
            }
            if (m_bits.peek(3) == 0x1) { // horizontal
                m_bits.skip(3);
                const int first = readRun(m_bits, white ? whiteRuns() : blackRuns());
                const int second = readRun(m_bits, white ? blackRuns() : whiteRuns());
                if (first < 0 || second < 0 || start + first + second > columns)
                    return false;
                changes.push_back(start + first);
                changes.push_back(start + first + second);
                a0 = start + first + second;
                continue;
            }
            const int offset = verticalOffset();
            if (offset == noMode)
                return false;
            const int a1 = b1 + offset;
            if (a1 < start || a1 > columns)
                return false;
            changes.push_back(a1);
            a0 = a1;
            white = !white;
        }
        return finishChanges(changes);
    }

    static constexpr int noMode = 100;

    int verticalOffset()
    {
        struct Vertical
        {
            int length;
            std::uint32_t code;
            int offset;
        };
        static constexpr Vertical modes[] = {{1, 0x1, 0},  {3, 0x3, 1}, {3, 0x2, -1}, {6, 0x3, 2},
                                             {6, 0x2, -2}, {7, 0x3, 3}, {7, 0x2, -3}};
        for (const Vertical& mode : modes) {
            if (m_bits.peek(mode.length) == mode.code) {
                m_bits.skip(mode.length);
                return mode.offset;
            }
        }
        return noMode;
    }

    // Changes at the width end the row: keep them in order, drop what lies
    // past it, and end with the sentinels a reference row needs.
    bool finishChanges(Changes& changes) const
    {
        const int columns = m_parameters.columns;
        while (!changes.empty() && changes.back() >= columns)
            changes.pop_back();
        for (size_t i = 1; i < changes.size(); ++i) {
            if (changes[i] < changes[i - 1])
                return false;
        }
        changes.push_back(columns);
        changes.push_back(columns);
        return true;
    }

    // The row as the filter puts it out: 1 for white unless /BlackIs1.
    std::string rendered(const Changes& changes) const
    {
        const int columns = m_parameters.columns;
        std::vector<std::uint8_t> row(m_stride, 0);
        int position = 0;
        bool black = false;
        for (const int change : changes) {
            const int end = change < columns ? change : columns;
            for (int x = position; black && x < end; ++x)
                row[size_t(x / 8)] |= std::uint8_t(0x80 >> (x % 8));
            position = end;
            black = !black;
            if (end >= columns)
                break;
        }
        if (!m_parameters.blackIs1) {
            for (std::uint8_t& byte : row)
                byte = std::uint8_t(~byte);
        }
        return std::string(row.begin(), row.end());
    }

    BitReader m_bits;
    FaxParameters m_parameters;
    int m_height;
    size_t m_stride;
};

} // namespace

std::optional<std::string> decodeFax(std::string_view data, const FaxParameters& parameters,
                                     int height)
{
    FaxDecoder decoder(data, parameters, height);
    return decoder.decode();
}

} // namespace batch
