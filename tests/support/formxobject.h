// What the generators share for building objects with QPDF.
#pragma once

#include <qpdf/QPDF.hh>

#include <string>

namespace testsupport {

// A form XObject that draws `content` with `resources`, its box `box`
// ("llx lly urx ury").
QPDFObjectHandle newForm(QPDF& pdf, const std::string& content, QPDFObjectHandle resources,
                         const std::string& box);

} // namespace testsupport
