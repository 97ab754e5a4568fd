// The worker process end to end: streams, exit codes and the job frame's checks.
#include "testsupport.h"

#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;
using testsupport::runWorker;
using testsupport::runWorkerRaw;

namespace {

using testsupport::makeRequest;

const QByteArray invalidLine = R"({"error":"处理请求无效。","ok":false})"
                               "\n";

bool noStagingLeft(const QString& folder)
{
    const QStringList entries = testsupport::folderEntries(folder);
    return std::none_of(entries.begin(), entries.end(),
                        [](const QString& name) { return name.startsWith(u".quorvin-batch-"_s); });
}

} // namespace

class TestWorker : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void invalidRequests_data();
    void invalidRequests();
    void closedStandardInput();
    void onlyFirstLineIsRead();
    void argumentMatching();
    void helpAndVersion();
    void withoutModule();
    void requestChecks_data();
    void requestChecks();
    void unwritableOutputFolder();
    void byteAndPageTotals();
    void failuresLeaveNothingBehind();

private:
    QString source(const QString& name, const testsupport::PdfRecipe& recipe = {});
    std::unique_ptr<QTemporaryDir> m_in;
    std::unique_ptr<QTemporaryDir> m_out;
};

void TestWorker::init()
{
    m_in = std::make_unique<QTemporaryDir>();
    m_out = std::make_unique<QTemporaryDir>();
}

QString TestWorker::source(const QString& name, const testsupport::PdfRecipe& recipe)
{
    const QString path = m_in->filePath(name);
    testsupport::writePdf(path, recipe);
    return path;
}

void TestWorker::invalidRequests_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::newRow("empty input") << QByteArray();
    QTest::newRow("not json") << QByteArray("rotate please\n");
    QTest::newRow("array") << QByteArray("[{\"operation\":\"rotate\"}]\n");
    QTest::newRow("scalar") << QByteArray("42\n");
    QTest::newRow("truncated object") << QByteArray("{\"operation\":\"rotate\"\n");
    // A request longer than 1 MiB is cut and then no longer parses.
    QByteArray longLine = "{\"operation\":\"rotate\",\"pad\":\"";
    longLine += QByteArray(1048576, 'x') + "\"}\n";
    QTest::newRow("longer than 1 MiB") << longLine;
}

void TestWorker::invalidRequests()
{
    QFETCH(QByteArray, input);
    const testsupport::WorkerRun run = runWorkerRaw(input);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.standardOutput, invalidLine);
}

void TestWorker::closedStandardInput()
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(u"/bin/sh"_s,
                  {u"-c"_s, u"exec \"$0\" --worker <&-"_s, testsupport::workerExecutable()});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAllStandardOutput().isEmpty());

    // A result that cannot be written is a failure, however the job went.
    QTemporaryDir out;
    const QString source = out.filePath(u"a.pdf"_s);
    testsupport::writePdf(source, {});
    QProcess full;
    full.setStandardOutputFile(u"/dev/full"_s);
    full.start(testsupport::workerExecutable(), {u"--worker"_s});
    QVERIFY(full.waitForStarted());
    full.write(QJsonDocument(testsupport::makeRequest(u"rotate"_s, {source}, out.path()))
                   .toJson(QJsonDocument::Compact) +
               '\n');
    full.closeWriteChannel();
    QVERIFY(full.waitForFinished(60000));
    QCOMPARE(full.exitCode(), 2);
}

void TestWorker::onlyFirstLineIsRead()
{
    // A request of exactly 1 MiB still parses; the garbage line after it is never read.
    QByteArray line = "{\"operation\":\"nothing\",\"pad\":\"";
    line += QByteArray(1048576 - line.size() - 2, 'x') + "\"}";
    QCOMPARE(line.size(), 1048576);
    const testsupport::WorkerRun run = runWorkerRaw(line + "\n[garbage\n");
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.result.value(u"error"_s).toString(), u"未知处理类型。"_s);
}

void TestWorker::argumentMatching()
{
    // "--worker" anywhere among the arguments selects the worker.
    QProcess process;
    process.start(testsupport::workerExecutable(), {u"ignored.pdf"_s, u"--worker"_s});
    QVERIFY(process.waitForStarted());
    process.write("{}\n");
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(process.readAllStandardOutput(), QByteArray(R"({"error":"未知处理类型。","ok":false})"
                                                         "\n"));

    // Near misses are GUI mode, where the parser refuses them as unknown options.
    for (const QString& argument : {u"--Worker"_s, u"-worker"_s, u"--worker=1"_s}) {
        QProcess gui;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        gui.setProcessEnvironment(environment);
        gui.start(testsupport::workerExecutable(), {argument});
        QVERIFY(gui.waitForFinished(60000));
        QCOMPARE(gui.exitCode(), 1);
        QVERIFY(gui.readAllStandardOutput().isEmpty());
        QVERIFY(gui.readAllStandardError().contains("Unknown option"));
    }
}

void TestWorker::helpAndVersion()
{
    // Both work without a display, and end the process before any window exists.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"QT_QPA_PLATFORM"_s);
    environment.remove(u"DISPLAY"_s);
    environment.remove(u"WAYLAND_DISPLAY"_s);
    for (const QString& option : {u"--version"_s, u"-v"_s}) {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(testsupport::workerExecutable(), {option});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(process.readAllStandardOutput(), QByteArray("QuorvinPDFBatch.cn 0.1.0\n"));
    }
    QProcess help;
    help.setProcessEnvironment(environment);
    help.start(testsupport::workerExecutable(), {u"--help"_s});
    QVERIFY(help.waitForFinished(60000));
    QCOMPARE(help.exitCode(), 0);
    const QString usage = QString::fromUtf8(help.readAllStandardOutput());
    QVERIFY2(usage.startsWith(u"Usage: "_s), qPrintable(usage));
    QVERIFY(usage.contains(u"--help"_s));
    QVERIFY(usage.contains(u"--version"_s));
    QVERIFY(!usage.contains(u"--worker"_s)); // not an option of the user's
}

void TestWorker::withoutModule()
{
    // An executable whose module is missing still runs document jobs; everything
    // else fails with a message instead of crashing.
    const QString program = m_in->filePath(u"quorvin-pdf-batch"_s);
    QVERIFY(QFile::copy(testsupport::workerExecutable(), program));
    const QString src = source(u"扫描件.pdf"_s);
    testsupport::SourceGuard guard;
    guard.add(src);

    const auto run = [&program](const QJsonObject& request) {
        QProcess process;
        process.start(program, {u"--worker"_s});
        process.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
        process.closeWriteChannel();
        process.waitForFinished(60000);
        return std::pair(process.exitCode(),
                         QJsonDocument::fromJson(process.readAllStandardOutput()).object());
    };
    auto [code, result] = run(makeRequest(u"rotate"_s, {src}, m_out->path()));
    QCOMPARE(code, 0);
    QVERIFY(QFileInfo::exists(result.value(u"output"_s).toString()));

    std::tie(code, result) = run(makeRequest(u"ocr"_s, {src}, m_out->path()));
    QCOMPARE(code, 1);
    QCOMPARE(result.value(u"error"_s).toString(), u"程序组件缺失或损坏，请重新安装。"_s);
    QCOMPARE(testsupport::folderEntries(m_out->path()).size(), 1);

    QProcess version;
    version.start(program, {u"--version"_s});
    QVERIFY(version.waitForFinished(60000));
    QCOMPARE(version.exitCode(), 1);
    QVERIFY(version.readAllStandardOutput().isEmpty());
    QVERIFY(version.readAllStandardError().contains("libquorvin-pdf-batch"));
    QVERIFY(guard.unchanged());
}

void TestWorker::requestChecks_data()
{
    QTest::addColumn<QJsonObject>("request");
    QTest::addColumn<QString>("error");
    const QString files = u"请添加有效文件；合并至少需要 2 份，单批最多 200 份。"_s;
    const QString folder = u"请选择有效的输出文件夹。"_s;
    QTest::newRow("no operation") << QJsonObject{} << u"未知处理类型。"_s;
    QTest::newRow("operation in other case")
        << QJsonObject{{u"operation"_s, u"Rotate"_s}} << u"未知处理类型。"_s;
    QTest::newRow("ocr options before files")
        << QJsonObject{{u"operation"_s, u"ocr"_s}, {u"ocrLanguage"_s, u"deu"_s}}
        << u"识别语言无效。"_s;
    QTest::newRow("merge of one") << makeRequest(u"merge"_s, {u"/a.pdf"_s}, u"@out"_s) << files;
    QStringList many;
    for (int i = 0; i < 201; ++i)
        many << u"/x.pdf"_s;
    QTest::newRow("201 inputs") << makeRequest(u"split"_s, many, u"@out"_s) << files;
    QTest::newRow("rotate of two")
        << makeRequest(u"rotate"_s, {u"/a.pdf"_s, u"/b.pdf"_s}, u"@out"_s)
        << u"单文件任务一次只接收一个源文件。"_s;
    QTest::newRow("empty output") << makeRequest(u"rotate"_s, {u"@src"_s}, QString()) << folder;
    QTest::newRow("relative output") << makeRequest(u"rotate"_s, {u"@src"_s}, u"out"_s) << folder;
    QTest::newRow("output is a file") << makeRequest(u"rotate"_s, {u"@src"_s}, u"@src"_s) << folder;
    QTest::newRow("encrypt without new password")
        << makeRequest(u"encrypt"_s, {u"@src"_s}, u"@out"_s) << u"请填写新密码。"_s;
    QJsonObject zeroPage = makeRequest(u"rotate"_s, {u"@src"_s}, u"@out"_s);
    zeroPage.insert(u"pages"_s, u"0"_s);
    QTest::newRow("page zero") << zeroPage
                               << u"页码无效：0。请输入 1-%1 之间的页码，例如 1-3,5。"_s.arg(3);
    QJsonObject badGroup = makeRequest(u"split"_s, {u"@src"_s}, u"@out"_s);
    badGroup.insert(u"group"_s, 0);
    QTest::newRow("group zero") << badGroup << u"每份页数需为 1 至 100000。"_s;
    badGroup.insert(u"group"_s, 100001);
    QTest::newRow("group too big") << badGroup << u"每份页数需为 1 至 100000。"_s;
    QJsonObject badDegrees = makeRequest(u"rotate"_s, {u"@src"_s}, u"@out"_s);
    for (const int degrees : {45, 0, 360}) {
        badDegrees.insert(u"degrees"_s, degrees);
        QTest::addRow("degrees %d", degrees) << badDegrees << u"旋转角度无效。"_s;
    }
    QJsonObject badCompress = makeRequest(u"compress"_s, {u"@src"_s}, u"@out"_s);
    badCompress.insert(u"compressLevel"_s, u"Standard"_s);
    QTest::newRow("compress level in other case")
        << badCompress
        << u"压缩级别无效：请选择 high（高质量）、standard（标准）、small（最小）或 archive（极限压缩）。"_s;
    badCompress.remove(u"compressLevel"_s);
    for (const QJsonValue& size : {QJsonValue(-1), QJsonValue(1.5), QJsonValue(u"2MB"_s)}) {
        badCompress.insert(u"targetSize"_s, size);
        QTest::addRow("target size %s", qPrintable(size.toVariant().toString()))
            << badCompress << u"目标大小无效：请填写不小于 0 的整数字节数。"_s;
    }
}

void TestWorker::requestChecks()
{
    QFETCH(QJsonObject, request);
    QFETCH(QString, error);
    const QString src = source(u"源文件.pdf"_s, {.pages = 3});
    testsupport::SourceGuard guard;
    guard.add(src);
    QJsonArray inputs;
    for (const QJsonValue& input : request.value(u"inputs"_s).toArray())
        inputs.append(input.toString() == u"@src"_s ? src : input.toString());
    if (request.contains(u"inputs"_s))
        request.insert(u"inputs"_s, inputs);
    const QString output = request.value(u"output"_s).toString();
    if (output == u"@out"_s)
        request.insert(u"output"_s, m_out->path());
    else if (output == u"@src"_s)
        request.insert(u"output"_s, src);

    const testsupport::WorkerRun run = runWorker(request);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.result.value(u"ok"_s), QJsonValue(false));
    QCOMPARE(run.result.value(u"error"_s).toString(), error);
    QVERIFY(testsupport::folderEntries(m_out->path()).isEmpty());
    QVERIFY(guard.unchanged());
}

void TestWorker::unwritableOutputFolder()
{
    // /proc refuses new folders even to root, unlike a chmod'ed folder.
    const QString src = source(u"a.pdf"_s);
    const testsupport::WorkerRun run = runWorker(makeRequest(u"rotate"_s, {src}, u"/proc"_s));
    QCOMPARE(run.result.value(u"error"_s).toString(),
             u"输出文件夹无法写入，请检查权限和磁盘空间。"_s);
}

void TestWorker::byteAndPageTotals()
{
    const auto sparse = [&](const QString& name, qint64 size) {
        const QString path = m_in->filePath(name);
        testsupport::writeSparsePdf(path, size);
        return path;
    };
    const qint64 mib400 = 400ll * 1024 * 1024;
    const QStringList three{sparse(u"a.pdf"_s, mib400), sparse(u"b.pdf"_s, mib400),
                            sparse(u"c.pdf"_s, mib400)};
    testsupport::WorkerRun run = runWorker(makeRequest(u"merge"_s, three, m_out->path()));
    QCOMPARE(run.result.value(u"error"_s).toString(), u"单次合并的源文件总大小不能超过 1 GB。"_s);

    // Exactly 1 GiB passes the total; a single source over 1 GiB gets the total message.
    const qint64 half = 536870912;
    run = runWorker(makeRequest(u"merge"_s, {sparse(u"d.pdf"_s, half), sparse(u"e.pdf"_s, half)},
                                m_out->path()));
    QCOMPARE(run.result.value(u"ok"_s), QJsonValue(true));
    run = runWorker(makeRequest(u"rotate"_s, {sparse(u"f.pdf"_s, 1073741825)}, m_out->path()));
    QCOMPARE(run.result.value(u"error"_s).toString(), u"单次合并的源文件总大小不能超过 1 GB。"_s);

    // Page totals: 60000 + 40000 is accepted, one more page is not.
    const QString big = source(u"big.pdf"_s, {.pages = 60000});
    const QString rest = source(u"rest.pdf"_s, {.pages = 40000});
    const QString extra = source(u"extra.pdf"_s, {.pages = 1});
    run = runWorker(makeRequest(u"merge"_s, {big, rest}, m_out->path()), 600000);
    QCOMPARE(run.result.value(u"ok"_s), QJsonValue(true));
    QCOMPARE(QFileInfo(run.result.value(u"output"_s).toString()).fileName(),
             u"合并文档-合并 (1).pdf"_s);
    run = runWorker(makeRequest(u"merge"_s, {big, rest, extra}, m_out->path()), 600000);
    QCOMPARE(run.result.value(u"error"_s).toString(), u"处理总页数不能超过 100000 页。"_s);
    QVERIFY(noStagingLeft(m_out->path()));
}

void TestWorker::failuresLeaveNothingBehind()
{
    // Refusals at admission, in the operation body and in the library all clean up.
    const QString signedSource = source(u"signed.pdf"_s, {.signedField = true});
    const QString plain = source(u"plain.pdf"_s, {.pages = 2});
    QByteArray broken = testsupport::makePdf({.pages = 4});
    broken.truncate(broken.size() * 2 / 3);
    testsupport::writeBytes(m_in->filePath(u"broken.pdf"_s), broken);
    const QList<QJsonObject> requests{
        makeRequest(u"rotate"_s, {signedSource}, m_out->path()),
        makeRequest(u"merge"_s, {plain, m_in->filePath(u"broken.pdf"_s)}, m_out->path()),
        makeRequest(u"encrypt"_s, {plain}, m_out->path()),
    };
    for (const QJsonObject& r : requests) {
        const testsupport::WorkerRun run = runWorker(r);
        QCOMPARE(run.exitCode, 1);
        QVERIFY(!run.result.value(u"error"_s).toString().isEmpty());
        QVERIFY(testsupport::folderEntries(m_out->path()).isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestWorker)
#include "tst_worker.moc"
