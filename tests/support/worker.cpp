#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

namespace testsupport {

QString workerExecutable()
{
    return QStringLiteral(QPB_EXECUTABLE);
}

QJsonObject makeRequest(const QString& operation, const QStringList& inputs, const QString& output,
                        const QJsonObject& extra)
{
    QJsonObject object{{QStringLiteral("operation"), operation},
                       {QStringLiteral("inputs"), QJsonArray::fromStringList(inputs)},
                       {QStringLiteral("output"), output}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

WorkerRun runWorkerRaw(const QByteArray& input, int timeoutMs)
{
    WorkerRun run;
    QProcess process;
    process.start(workerExecutable(), {QStringLiteral("--worker")});
    if (!process.waitForStarted(30000))
        return run;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        run.crashed = true;
    }
    run.crashed = run.crashed || process.exitStatus() != QProcess::NormalExit;
    run.exitCode = process.exitCode();
    run.standardOutput = process.readAllStandardOutput();
    run.standardError = process.readAllStandardError();
    run.result = QJsonDocument::fromJson(run.standardOutput).object();
    return run;
}

WorkerRun runWorker(const QJsonObject& request, int timeoutMs)
{
    return runWorkerRaw(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n', timeoutMs);
}

} // namespace testsupport
