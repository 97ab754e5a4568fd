// Content streams of arbitrary bytes against the passes that read them: the
// unused-resource scan and the placement walk. A resource named in the
// content as a name token must survive the scan.
#include "engine/images/placement.h"
#include "engine/qpdfsupport.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string content(reinterpret_cast<const char*>(data), size);
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    pdf.emptyPDF();
    QPDFObjectHandle page = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /Page /MediaBox [0 0 100 100] /Resources << /Font << "
        "/F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> "
        "/F#232 << /Type /Font /Subtype /Type1 /BaseFont /Courier >> >> "
        "/XObject << /Im << /Type /XObject /Subtype /Image /Width 1 /Height 1 "
        "/ColorSpace /DeviceGray /BitsPerComponent 8 >> >> >> >>"));
    page.getKey("/Resources")
        .getKey("/XObject")
        .replaceKey("/Im", pdf.newStream(std::string(1, '\x80')));
    page.getKey("/Resources")
        .getKey("/XObject")
        .getKey("/Im")
        .replaceDict(QPDFObjectHandle::parse("<< /Type /XObject /Subtype /Image /Width 1 "
                                             "/Height 1 /ColorSpace /DeviceGray "
                                             "/BitsPerComponent 8 >>"));
    page.replaceKey("/Contents", pdf.newStream(content));
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
    try {
        batch::largestPlacements(pdf);
    } catch (const std::exception&) {
    }
    batch::dropUnusedResources(pdf);
    QPDFObjectHandle fonts = page.getKey("/Resources").getKey("/Font");
    const auto named = [&](const std::string& token) {
        for (size_t at = content.find(token); at != std::string::npos;
             at = content.find(token, at + 1)) {
            const size_t end = at + token.size();
            if (end == content.size() ||
                std::string(" \t\r\n\f()<>[]{}/%").find(content[end]) != std::string::npos)
                return true;
        }
        return false;
    };
    if (named("/F1") && !fonts.hasKey("/F1"))
        __builtin_trap();
    if (named("/Im") && !page.getKey("/Resources").getKey("/XObject").hasKey("/Im"))
        __builtin_trap();
    return 0;
}
