// The worker's request handling, from the raw line up to the file checks.
#include "jobframe/jobframe.h"
#include "protocol/protocol.h"

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
    batch::JobRequest job = batch::parseRequest(request);
    // Stop at the output-folder check: the fuzzer must never write anywhere.
    job.output = u"/nonexistent/quorvin-fuzz-output"_s;
    const QJsonObject result = batch::processRequest(
        job, [](int, int, const QString&) {}, nullptr);
    (void)batch::toLine(result);
    return 0;
}
