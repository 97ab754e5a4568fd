// The worker's request handling, from the raw line up to the file checks.
#include "app/protocol.h"
#include "engine/jobframe.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

using namespace Qt::StringLiterals;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_request";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);

    const QByteArray line(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QJsonObject request;
    if (!batch::parseObjectLine(line.left(batch::maxRequestLineBytes), request))
        return 0;
    // Stop at the output-folder check: the fuzzer must never write anywhere.
    request.insert(u"output"_s, u"/nonexistent/quorvin-fuzz-output"_s);
    const QJsonObject result = batch::processRequest(
        request, [](int, int) {}, nullptr);
    (void)batch::toLine(result);
    return 0;
}
