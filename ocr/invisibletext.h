// Text a page draws invisibly (render modes 3 and 7): the layer of an earlier
// recognition, ours or another program's. Recognising such a page again
// replaces that layer instead of adding a second copy of its words.
#pragma once

#include <QList>
#include <QRectF>

class QPDF;
class QPDFObjectHandle;

namespace batch {

// Removes the invisible text from `page` of `pdf`: its content and the forms
// it draws directly, which the page then draws as copies of its own. Visible
// text and everything else stay. Whether anything was removed.
bool stripInvisibleText(QPDF& pdf, QPDFObjectHandle page);

} // namespace batch
