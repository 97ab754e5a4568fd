#include "protocol/request.h"

#include "protocol/catalogue.h"
#include "protocol/protocol.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace batch {

JobRequest parseRequest(const QJsonObject& object)
{
    const JobRequest defaults;
    JobRequest request;
    request.operation = findOperation(stringMember(object, u"operation"_s));
    request.inputs = stringListMember(object, u"inputs"_s);
    request.output = stringMember(object, u"output"_s);
    request.password = stringMember(object, u"password"_s);
    request.pages = stringMember(object, u"pages"_s);
    request.group = intMember(object, u"group"_s, defaults.group);
    request.degrees = intMember(object, u"degrees"_s, defaults.degrees);
    request.newPassword = stringMember(object, u"newPassword"_s);
    request.ocr.language = stringMember(object, u"ocrLanguage"_s, defaults.ocr.language);
    request.ocr.dpi = intMember(object, u"ocrDpi"_s, defaults.ocr.dpi);
    request.ocr.models = stringMember(object, u"ocrModels"_s);
    request.ocr.skipText = boolMember(object, u"ocrSkipText"_s, defaults.ocr.skipText);
    request.ocr.output = stringMember(object, u"ocrOutput"_s, defaults.ocr.output);
    return request;
}

QJsonObject toJson(const JobRequest& request)
{
    return QJsonObject{
        {u"operation"_s, request.operation ? request.operation->id : QString()},
        {u"inputs"_s, QJsonArray::fromStringList(request.inputs)},
        {u"output"_s, request.output},
        {u"password"_s, request.password},
        {u"pages"_s, request.pages},
        {u"group"_s, request.group},
        {u"degrees"_s, request.degrees},
        {u"newPassword"_s, request.newPassword},
        {u"ocrLanguage"_s, request.ocr.language},
        {u"ocrDpi"_s, request.ocr.dpi},
        {u"ocrModels"_s, request.ocr.models},
        {u"ocrSkipText"_s, request.ocr.skipText},
        {u"ocrOutput"_s, request.ocr.output},
    };
}

} // namespace batch
