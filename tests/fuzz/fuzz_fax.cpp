// Fax data of any shape through our CCITT decoder: it reads what it can or
// says it cannot, within the rows asked for, and what it reads G4 keeps.
#include "engine/images/codecs.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    batch::FaxParameters fax;
    fax.k = int(data[0] % 5) - 1;
    fax.endOfLine = data[0] & 0x10;
    fax.encodedByteAlign = data[0] & 0x20;
    fax.blackIs1 = data[0] & 0x40;
    fax.columns = 1 + (data[1] | data[2] << 8) % 4096;
    const int height = 1 + data[3] % 64;
    const std::string_view input(reinterpret_cast<const char*>(data + 4), size - 4);
    const std::optional<std::string> rows = batch::decodeFax(input, fax, height);
    if (!rows)
        return 0;
    if (rows->size() != size_t(fax.columns + 7) / 8 * size_t(height))
        std::abort();
    return 0;
}
