#include "ocr/ocr.h"

using namespace Qt::StringLiterals;

namespace batch {

PdfDocument recognize(const PdfDocument&, const QString&, const QJsonObject& request,
                      const ProgressCallback&)
{
    const QString message = validateOcrOptions(request);
    if (!message.isEmpty())
        fail(message);
    fail(u"文字识别未完成，未发布结果。"_s);
}

} // namespace batch
