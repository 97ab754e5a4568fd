#include "jobframe/workermain.h"

#include "jobframe/jobframe.h"
#include "protocol/protocol.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace batch {

int workerMain(const ModuleServices* module)
{
    QFile input;
    QFile output;
    QFile error;
    if (!input.open(stdin, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return 2;
    if (!output.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return 2;
    error.open(stderr, QIODevice::WriteOnly, QFileDevice::DontCloseHandle);

    // Called on the recognition thread while the main thread waits, so lines
    // never interleave with each other or with the result.
    const ProgressCallback progress = [&error](int completed, int total, const QString& message) {
        error.write(toLine(progressObject(completed, total, message)));
        error.flush();
    };

    // Qt's limit counts a terminating zero; +1 lets a request of exactly 1 MiB through.
    const QByteArray line = input.readLine(maxRequestLineBytes + 1);
    QJsonObject request;
    bool announced = false;
    bool said = true;
    // A result nobody can read is no result: the parent would take the job
    // for one that said nothing.
    const auto tell = [&output, &said](const QJsonObject& object) {
        const QByteArray text = toLine(object);
        said = output.write(text) == text.size() && output.flush() && said;
    };
    const auto announce = [&tell, &announced](const QJsonObject& published) {
        tell(published);
        announced = true;
    };
    const QJsonObject result =
        parseObjectLine(line, request)
            ? processRequest(parseRequest(request), progress, module, announce)
            : failureResult(u"处理请求无效。"_s);
    if (!announced)
        tell(result);
    if (!said)
        return 2;
    return boolMember(result, u"ok"_s, false) || boolMember(result, u"skipped"_s, false) ? 0 : 1;
}

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(u"Quorvin"_s);
    QCoreApplication::setApplicationName(u"QuorvinPDFBatch.cn"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(QPB_VERSION));
}

} // namespace batch
