// The command-line batch through the real executable: exit codes, the
// report, passwords that never reach a command line or a child's
// environment, Ctrl-C, and the GNU parallel recipe of the README.
#include "testsupport.h"

#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

struct CliRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

CliRun runCli(const QStringList& arguments, const QProcessEnvironment& environment = {},
              int timeoutMs = 120000)
{
    QProcess process;
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.start(testsupport::workerExecutable(), QStringList{u"batch"_s} + arguments);
    process.closeWriteChannel();
    CliRun run;
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void exitCodes_data();
    void exitCodes();
    void reportLikeTheWindows();
    void passwordsStayOffCommandLines();
    void interruptLeavesNothingBehind();
    void parallelRecipe();

private:
    QString pdf(const QString& name, int pages = 1);
    std::unique_ptr<QTemporaryDir> m_dir;
    testsupport::SourceGuard m_guard;
};

void TestCli::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_guard = {};
}

QString TestCli::pdf(const QString& name, int pages)
{
    const QString path = m_dir->filePath(name);
    testsupport::writePdf(path, {.pages = pages, .marker = QFileInfo(name).baseName()});
    m_guard.add(path);
    return path;
}

void TestCli::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments"); // IN: a folder of a.pdf, b.pdf; OUT: output
    QTest::addColumn<bool>("broken");           // c.pdf, which no job can read, is added
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::newRow("all succeed") << QStringList{u"rotate"_s, u"--output"_s, u"OUT"_s, u"IN"_s}
                                 << false << 0 << u"2 份文件 · 成功 2 · 未成功 0"_s;
    QTest::newRow("one fails") << QStringList{u"optimize"_s, u"--output=OUT"_s, u"IN"_s} << true
                               << 1 << u"处理失败  "_s;
    QTest::newRow("merge in order") << QStringList{u"merge"_s, u"--output"_s, u"OUT"_s, u"IN"_s}
                                    << false << 0 << u"合并文档-合并.pdf"_s;
    QTest::newRow("unknown operation") << QStringList{u"shred"_s, u"--output"_s, u"OUT"_s, u"IN"_s}
                                       << false << 2 << u"未知处理类型。"_s;
    QTest::newRow("no output folder")
        << QStringList{u"rotate"_s, u"IN"_s} << false << 2 << u"--output"_s;
    QTest::newRow("range wrong as written")
        << QStringList{u"extract"_s, u"--pages"_s, u"3-1"_s, u"--output"_s, u"OUT"_s, u"IN"_s}
        << false << 2 << u"页码无效：3-1。"_s;
    QTest::newRow("option of another operation")
        << QStringList{u"optimize"_s, u"--degrees"_s, u"90"_s, u"--output"_s, u"OUT"_s, u"IN"_s}
        << false << 2 << u"--degrees 不适用于 optimize"_s;
    QTest::newRow("unknown option")
        << QStringList{u"rotate"_s, u"--colour"_s, u"--output"_s, u"OUT"_s, u"IN"_s} << false << 2
        << u"选项无效"_s;
    QTest::newRow("no valid file")
        << QStringList{u"rotate"_s, u"--output"_s, u"OUT"_s, u"IN/none.pdf"_s} << false << 2
        << u"请添加有效文件"_s;
    QTest::newRow("help") << QStringList{u"split"_s, u"--help"_s} << false << 0 << u"--group"_s;
}

void TestCli::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, broken);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QVERIFY(QDir(m_dir->path()).mkdir(u"in"_s));
    const QString in = m_dir->filePath(u"in"_s);
    pdf(u"in/a.pdf"_s, 2);
    pdf(u"in/b.pdf"_s, 3);
    if (broken) {
        testsupport::writeBytes(in + u"/c.pdf"_s, "%PDF-1.7 nothing more");
        m_guard.add(in + u"/c.pdf"_s);
    }
    const QString out = m_dir->filePath(u"out"_s);
    arguments.replaceInStrings(u"IN"_s, in);
    arguments.replaceInStrings(u"OUT"_s, out);
    const CliRun run = runCli(arguments);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.out + run.err));
    QVERIFY2(QString(run.out + run.err).contains(said), qPrintable(run.out + run.err));
    if (exitCode == 2)
        QVERIFY(testsupport::folderEntries(out).isEmpty());
    if (arguments.first() == u"merge"_s) {
        QCOMPARE(testsupport::inspectPdf(out + u"/合并文档-合并.pdf"_s).markers,
                 testsupport::expectedMarkers(u"a"_s, {1, 2}) +
                     testsupport::expectedMarkers(u"b"_s, {1, 2, 3}));
    }
    for (const QString& entry : testsupport::folderEntries(out))
        QVERIFY(!entry.startsWith(u".quorvin-batch-"_s));
    QVERIFY(m_guard.unchanged());
}

void TestCli::reportLikeTheWindows()
{
    const QString a = pdf(u"a.pdf"_s);
    const QString bad = m_dir->filePath(u"bad.pdf"_s);
    testsupport::writeBytes(bad, "%PDF-1.7 nothing more");
    const QString out = m_dir->filePath(u"out"_s);
    const QString report = m_dir->filePath(u"report.json"_s);
    const CliRun run = runCli(
        {u"rotate"_s, u"--report"_s, report, u"--jobs"_s, u"1"_s, u"--output"_s, out, a, bad});
    QCOMPARE(run.exitCode, 1);
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(object.keys(),
             (QStringList{u"createdAt"_s, u"items"_s, u"operation"_s, u"product"_s, u"version"_s}));
    const QJsonArray items = object.value(u"items"_s).toArray();
    QCOMPARE(items.size(), 2);
    QCOMPARE(items.at(0).toObject().value(u"state"_s).toString(), u"处理完成"_s);
    QCOMPARE(items.at(0).toObject().value(u"output"_s).toString(), out + u"/a-旋转.pdf"_s);
    QCOMPARE(items.at(1).toObject().value(u"state"_s).toString(), u"处理失败"_s);
    QVERIFY(items.at(1).toObject().value(u"detail"_s).toString().startsWith(u"无法读取 PDF"_s));

    // An existing report is never replaced, nor a source.
    const QByteArray before = testsupport::sha256File(report);
    QCOMPARE(runCli({u"rotate"_s, u"--report"_s, report, u"--output"_s, out, a}).exitCode, 2);
    QCOMPARE(testsupport::sha256File(report), before);
    QFile::remove(report);
    QCOMPARE(runCli({u"rotate"_s, u"--report"_s, a, u"--output"_s, out, a}).exitCode, 2);
    QVERIFY(m_guard.unchanged());
}

void TestCli::passwordsStayOffCommandLines()
{
    // The workers are started through a wrapper that records their command
    // lines and environments.
    const QString record = m_dir->filePath(u"record.txt"_s);
    const QString wrapper = testsupport::writeRecordingWrapper(m_dir->path(), record);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QPB_WORKER_PROGRAM"_s, wrapper);

    const QString owner = u"Ow-cli-所有者-4417"_s;
    const QString fresh = u"New-cli-新密码-9052"_s;
    const QString source = m_dir->filePath(u"locked.pdf"_s);
    testsupport::writePdf(source, {.pages = 2,
                                   .encryption = testsupport::Encryption::R6Aes256,
                                   .userPassword = "open",
                                   .ownerPassword = owner.toStdString()});
    m_guard.add(source);
    const QString passwordFile = m_dir->filePath(u"new.txt"_s);
    testsupport::writeBytes(passwordFile, fresh.toUtf8() + "\n");
    const QString out = m_dir->filePath(u"out"_s);

    // The owner password from the environment, the new one from a file.
    environment.insert(u"QPB_PASSWORD"_s, owner);
    CliRun run =
        runCli({u"encrypt"_s, u"--new-password-file"_s, passwordFile, u"--output"_s, out, source},
               environment);
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
    QVERIFY(testsupport::inspectPdf(out + u"/locked-加密.pdf"_s, fresh.toStdString()).ownerMatched);
    // The owner password from a file; no terminal to ask on, so a missing new
    // password is a usage error.
    environment.remove(u"QPB_PASSWORD"_s);
    const QString ownerFile = m_dir->filePath(u"owner.txt"_s);
    testsupport::writeBytes(ownerFile, owner.toUtf8());
    run = runCli({u"decrypt"_s, u"--password-file"_s, ownerFile, u"--output"_s, out, source},
                 environment);
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
    QVERIFY(!testsupport::inspectPdf(out + u"/locked-无密码.pdf"_s).encrypted);
    QCOMPARE(runCli({u"encrypt"_s, u"--output"_s, out, source}, environment).exitCode, 2);

    QFile file(record);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray recorded = file.readAll();
    QCOMPARE(recorded.count("--worker"), 4); // two workers, each line and cmdline
    for (const QString& secret : {owner, fresh})
        QVERIFY(!recorded.contains(secret.toUtf8()));
    QVERIFY(m_guard.unchanged());
}

void TestCli::interruptLeavesNothingBehind()
{
    // A long recognition, interrupted twice: ended at once, nothing
    // published, no staging folder left.
    QTemporaryDir models;
    QVERIFY(testsupport::fillModelsFolder(models.path()));
    const QString scan = m_dir->filePath(u"long.pdf"_s);
    testsupport::writeDrawnPdf(
        scan, QList<testsupport::DrawnPage>(12, {.lines = {u"A page that takes a while."_s}}));
    m_guard.add(scan);
    const QString out = m_dir->filePath(u"out"_s);
    QProcess process;
    process.start(testsupport::workerExecutable(),
                  {u"batch"_s, u"ocr"_s, u"--language"_s, u"eng"_s, u"--models"_s, models.path(),
                   u"--output"_s, out, scan});
    QVERIFY(process.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return testsupport::stagingLockHeld(out); }, 30000));
    const auto interrupt = [&process] {
        QCOMPARE(process.state(), QProcess::Running);
        QVERIFY(process.processId() > 0);
        ::kill(pid_t(process.processId()), SIGINT);
    };
    interrupt();
    QTest::qWait(300);
    interrupt();
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(QString::fromUtf8(process.readAllStandardOutput()).contains(u"已停止"_s));
    QCOMPARE(testsupport::folderEntries(out), QStringList());
    QVERIFY(m_guard.unchanged());
}

void TestCli::parallelRecipe()
{
    // The README's recipe with two local slots instead of two machines.
    if (QStandardPaths::findExecutable(u"parallel"_s).isEmpty())
        QSKIP("GNU parallel is not installed (scripts/setup-debian.sh installs it)");
    QStringList files;
    for (int i = 1; i <= 6; ++i)
        files << pdf(u"p%1.pdf"_s.arg(i), i);
    const QString out = m_dir->filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    QProcess parallel;
    parallel.start(u"parallel"_s, QStringList{u"--will-cite"_s, u"-N"_s, u"3"_s, u"--sshlogin"_s,
                                              u"2/:"_s, testsupport::workerExecutable(), u"batch"_s,
                                              u"rotate"_s, u"--output"_s, out, u":::"_s} +
                                      files);
    QVERIFY(parallel.waitForFinished(120000));
    QCOMPARE(parallel.exitCode(), 0);
    QCOMPARE(testsupport::folderEntries(out).size(), 6);
    for (int i = 1; i <= 6; ++i)
        QCOMPARE(testsupport::inspectPdf(out + u"/p%1-旋转.pdf"_s.arg(i)).rotations.size(), i);
    QVERIFY(m_guard.unchanged());
}

QTEST_MAIN(TestCli)
#include "tst_cli.moc"
