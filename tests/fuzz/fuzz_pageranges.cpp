// Page range expressions against arbitrary text and page counts.
#include "engine/pdfdocument.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t raw = 0;
    std::memcpy(&raw, data, sizeof raw);
    const int pageCount = static_cast<int>(raw % 100003) - 1; // includes 0 and out-of-range
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data + 4),
                                           static_cast<qsizetype>(size - 4));
    QString error;
    const QList<int> pages = batch::parsePageRanges(text, pageCount, error);
    // The contract: either one message and no pages, or strictly ascending valid indices.
    if (!error.isEmpty() && !pages.isEmpty())
        __builtin_trap();
    for (qsizetype i = 0; i < pages.size(); ++i) {
        if (pages[i] < 0 || pages[i] >= pageCount || (i > 0 && pages[i] <= pages[i - 1]))
            __builtin_trap();
    }
    return 0;
}
