// The command-line batch through the real executable: exit codes, the
// report, passwords that never reach a command line or a child's
// environment, Ctrl-C, and the GNU parallel recipe of the README.
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
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

// The command line run on a terminal of its own, through script(1); its
// standard input ends at once, so a question it asks is answered empty.
CliRun runOnTerminal(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QStringList quoted;
    for (const QString& argument :
         QStringList{testsupport::workerExecutable(), u"batch"_s} + arguments)
        quoted << u"'"_s + QString(argument).replace(u"'"_s, u"'\\''"_s) + u"'"_s;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(u"script"_s, {u"-qec"_s, quoted.join(u' '), u"/dev/null"_s});
    process.closeWriteChannel();
    CliRun run;
    if (!process.waitForFinished(120000))
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    return run;
}

// The process that holds the staging lock in `out`, as its record names it.
qint64 stagingWorkerPid(const QString& out)
{
    for (const QString& entry : testsupport::folderEntries(out)) {
        QFile lock(out + u'/' + entry + u"/.lock"_s);
        if (!entry.startsWith(u".quorvin-batch-"_s) || !lock.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : lock.readAll().split('\n')) {
            if (line.startsWith("pid="))
                return line.mid(4).toLongLong();
        }
    }
    return -1;
}

bool processStopped(qint64 pid)
{
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) == "T";
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void exitCodes_data();
    void exitCodes();
    void sayingWhatHappened_data();
    void sayingWhatHappened();
    void reportLikeTheWindows();
    void batesAcrossFiles();
    void passwordsStayOffCommandLines();
    void namesOfResults_data();
    void namesOfResults();
    void protectedFiles_data();
    void protectedFiles();
    void endingTheBatch_data();
    void endingTheBatch();
    void foldersAndManyFiles();
    void onATerminal();
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
    QTest::newRow("range as a Chinese input method types it")
        << QStringList{u"extract"_s, u"--pages"_s, u"１－2、2-"_s, u"--output"_s, u"OUT"_s, u"IN"_s}
        << false << 0 << u"2 份文件 · 成功 2 · 未成功 0"_s;
    QTest::newRow("option of another operation")
        << QStringList{u"optimize"_s, u"--degrees"_s, u"90"_s, u"--output"_s, u"OUT"_s, u"IN"_s}
        << false << 2 << u"--degrees 不适用于 optimize"_s;
    QTest::newRow("unknown option")
        << QStringList{u"rotate"_s, u"--colour"_s, u"--output"_s, u"OUT"_s, u"IN"_s} << false << 2
        << u"选项无效"_s;
    QTest::newRow("no valid file is a failure")
        << QStringList{u"rotate"_s, u"--output"_s, u"OUT"_s, u"IN/none.pdf"_s} << false << 1
        << u"未添加 "_s;
    QTest::newRow("no file at all") << QStringList{u"rotate"_s, u"--output"_s, u"OUT"_s} << false
                                    << 2 << u"请添加要处理的文件"_s;
    QTest::newRow("compress to a size out of reach")
        << QStringList{u"compress"_s, u"--level"_s,  u"small"_s, u"--target-size"_s,
                       u"100B"_s,     u"--output"_s, u"OUT"_s,   u"IN"_s}
        << false << 0 << u"无法压缩到 100 字节以内"_s;
    QTest::newRow("compress level unknown")
        << QStringList{u"compress"_s, u"--level=max"_s, u"--output"_s, u"OUT"_s, u"IN"_s} << false
        << 2 << u"压缩级别无效"_s;
    QTest::newRow("target size in an unknown unit")
        << QStringList{u"compress"_s, u"--target-size"_s, u"2MiB"_s,
                       u"--output"_s, u"OUT"_s,           u"IN"_s}
        << false << 2 << u"目标大小无效"_s;
    QTest::newRow("level of another operation")
        << QStringList{u"optimize"_s, u"--level"_s, u"high"_s, u"--output"_s, u"OUT"_s, u"IN"_s}
        << false << 2 << u"--level 不适用于 optimize"_s;
    QTest::newRow("compress help")
        << QStringList{u"compress"_s, u"--help"_s} << false << 0 << u"KB、MB、GB"_s;
    QTest::newRow("help") << QStringList{u"split"_s, u"--help"_s} << false << 0 << u"--group"_s;
    QTest::newRow("split by size")
        << QStringList{u"split"_s, u"--mode"_s,   u"size"_s, u"--max-size"_s,
                       u"10MB"_s,  u"--output"_s, u"OUT"_s,  u"IN"_s}
        << false << 0 << u"2 份文件 · 成功 2 · 未成功 0"_s;
    QTest::newRow("split by size without one")
        << QStringList{u"split"_s, u"--mode=size"_s, u"--output"_s, u"OUT"_s, u"IN"_s} << false << 2
        << u"--max-size"_s;
    QTest::newRow("split by bookmarks where there are none")
        << QStringList{u"split"_s, u"--mode"_s,   u"bookmarks"_s, u"--level"_s,
                       u"1"_s,     u"--output"_s, u"OUT"_s,       u"IN"_s}
        << false << 1 << u"文档没有第 1 级书签"_s;
    QTest::newRow("split mode unknown")
        << QStringList{u"split"_s, u"--mode"_s, u"chapters"_s, u"--output"_s, u"OUT"_s, u"IN"_s}
        << false << 2 << u"拆分方式无效"_s;
    QTest::newRow("a split option elsewhere")
        << QStringList{u"rotate"_s, u"--keep-separators"_s, u"--output"_s, u"OUT"_s, u"IN"_s}
        << false << 2 << u"--keep-separators 不适用于 rotate"_s;
    QTest::newRow("top-level help names the command line")
        << QStringList{u"TOP"_s, u"--help"_s} << false << 0 << u"quorvin-pdf-batch batch --help"_s;
    QTest::newRow("a missing file is a failure")
        << QStringList{u"rotate"_s, u"--output"_s, u"OUT"_s, u"IN"_s, u"IN/none.pdf"_s} << false
        << 1 << u"3 份文件 · 成功 2 · 未成功 1"_s;
    QTest::newRow("a file given twice is done once")
        << QStringList{u"rotate"_s, u"--output"_s, u"OUT"_s, u"IN"_s, u"IN/a.pdf"_s} << false << 0
        << u"2 份文件 · 成功 2 · 未成功 0"_s;
    QTest::newRow("no terminal, no password")
        << QStringList{u"decrypt"_s, u"--output"_s, u"OUT"_s, u"IN"_s} << false << 2
        << u"未提供密码"_s;
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
    CliRun run;
    if (arguments.first() == u"TOP"_s) {
        QProcess process;
        process.start(testsupport::workerExecutable(), arguments.mid(1));
        QVERIFY(process.waitForFinished(30000));
        run = {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()), {}};
    } else {
        run = runCli(arguments);
    }
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

void TestCli::sayingWhatHappened_data()
{
    // IN: a folder of a.pdf and link.pdf → a.pdf; OUT: a folder not yet made;
    // REPORT: a report beside them.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QStringList>("reported"); // inputs the report names; empty: no report
    QTest::newRow("a merge with a missing part publishes nothing")
        << QStringList{u"merge"_s, u"--report"_s, u"REPORT"_s,      u"--output"_s,
                       u"OUT"_s,   u"IN/a.pdf"_s, u"IN/none.pdf"_s, u"IN/b.pdf"_s}
        << 1 << u"合并未进行"_s << QStringList{u"a.pdf"_s, u"b.pdf"_s, u"none.pdf"_s};
    QTest::newRow("a report where no folder is")
        << QStringList{u"rotate"_s,   u"--report"_s, u"IN/nowhere/r.json"_s,
                       u"--output"_s, u"OUT"_s,      u"IN/a.pdf"_s}
        << 2 << u"报告所在的文件夹不存在"_s << QStringList{};
    QTest::newRow("every file refused, reported")
        << QStringList{u"rotate"_s,   u"--report"_s, u"REPORT"_s,
                       u"--output"_s, u"OUT"_s,      u"IN/none.pdf"_s}
        << 1 << u"以上文件均未添加"_s << QStringList{u"none.pdf"_s};
    QTest::newRow("a usage error leaves no new folder")
        << QStringList{u"rotate"_s,   u"--degrees"_s, u"45"_s,
                       u"--output"_s, u"OUT/deep"_s,  u"IN/a.pdf"_s}
        << 2 << u"旋转角度无效"_s << QStringList{};
    QTest::newRow("files without a password are skipped, not failed")
        << QStringList{u"decrypt"_s,  u"--password-file"_s, u"PASSWORD"_s,
                       u"--report"_s, u"REPORT"_s,          u"--output"_s,
                       u"OUT"_s,      u"IN/a.pdf"_s,        u"IN/b.pdf"_s}
        << 0 << u"已跳过  "_s + u"%1/a.pdf：文件未加密，无需处理。"_s
        << QStringList{u"a.pdf"_s, u"b.pdf"_s};
    QTest::newRow("a link named as given, its twin reported")
        << QStringList{u"rotate"_s, u"--report"_s,    u"REPORT"_s,  u"--output"_s,
                       u"OUT"_s,    u"IN/link.pdf"_s, u"IN/a.pdf"_s}
        << 0 << u"link-旋转.pdf"_s << QStringList{u"link.pdf"_s, u"a.pdf"_s};
}

// What the command line says, writes and leaves is what happened.
void TestCli::sayingWhatHappened()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QFETCH(QStringList, reported);
    const QString in = m_dir->filePath(u"in"_s);
    QVERIFY(QDir().mkpath(in));
    pdf(u"in/a.pdf"_s, 2);
    pdf(u"in/b.pdf"_s, 3);
    QVERIFY(QFile::link(in + u"/a.pdf"_s, in + u"/link.pdf"_s));
    const QString out = m_dir->filePath(u"out"_s);
    const QString report = m_dir->filePath(u"报告.json"_s);
    arguments.replaceInStrings(u"IN"_s, in);
    arguments.replaceInStrings(u"OUT"_s, out);
    arguments.replaceInStrings(u"REPORT"_s, report);
    const QString password = m_dir->filePath(u"password.txt"_s);
    testsupport::writeBytes(password, "secret\n");
    arguments.replaceInStrings(u"PASSWORD"_s, password);
    said.replace(u"%1"_s, in);
    const CliRun run = runCli(arguments);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.out + run.err));
    QVERIFY2(QString(run.out + run.err).contains(said), qPrintable(run.out + run.err));
    if (exitCode != 0 || arguments.first() == u"decrypt"_s)
        QVERIFY(testsupport::folderEntries(out).filter(u".pdf"_s).isEmpty());
    if (exitCode == 2 && reported.isEmpty())
        QVERIFY(!QFileInfo::exists(out));
    QCOMPARE(QFileInfo::exists(report), !reported.isEmpty());
    if (!reported.isEmpty()) {
        QFile file(report);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList named;
        const QJsonArray files =
            QJsonDocument::fromJson(file.readAll()).object().value(u"items"_s).toArray();
        for (const QJsonValue& entry : files)
            named << QFileInfo(entry.toObject().value(u"input"_s).toString()).fileName();
        QCOMPARE(named, reported);
        // Readable as the results are.
        QVERIFY(file.permissions() & QFileDevice::ReadOther);
    }
    QVERIFY(m_guard.unchanged());
}

// Bates numbers continue in list order whatever order the jobs end in, and
// the report gives each file's first and last.
void TestCli::batesAcrossFiles()
{
    const QStringList files{pdf(u"一.pdf"_s, 2), pdf(u"二.pdf"_s, 3), pdf(u"三.pdf"_s, 1)};
    const QString out = m_dir->filePath(u"out"_s);
    const QString report = m_dir->filePath(u"report.json"_s);
    const CliRun run = runCli(QStringList{u"stamp"_s, u"--bates"_s, u"ABC-"_s, u"--bates-digits"_s,
                                          u"4"_s, u"--bates-start"_s, u"98"_s, u"--numbers"_s,
                                          u"- {n} -"_s, u"--report"_s, report, u"--output"_s, out} +
                              files);
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonArray items =
        QJsonDocument::fromJson(file.readAll()).object().value(u"items"_s).toArray();
    QStringList details;
    for (const QJsonValue& item : items)
        details << item.toObject().value(u"detail"_s).toString();
    QCOMPARE(details, (QStringList{u"Bates 编号 ABC-0098 至 ABC-0099"_s,
                                   u"Bates 编号 ABC-0100 至 ABC-0102"_s,
                                   u"Bates 编号 ABC-0103 至 ABC-0103"_s}));
    QVERIFY(testsupport::popplerText(out + u"/二-页码.pdf"_s, 2).contains(u"ABC-0102"_s));
    QVERIFY(testsupport::popplerText(out + u"/二-页码.pdf"_s, 2)
                .contains(QRegularExpression(u"-\\s*3\\s*-"_s)));
    QVERIFY(m_guard.unchanged());
}

void TestCli::reportLikeTheWindows()
{
    const QString a = pdf(u"a.pdf"_s);
    const QString bad = m_dir->filePath(u"bad.pdf"_s);
    testsupport::writeBytes(bad, "%PDF-1.7 nothing more");
    const QString out = m_dir->filePath(u"out"_s);
    const QString report = m_dir->filePath(u"report.json"_s);
    const QString missing = m_dir->filePath(u"missing.pdf"_s);
    const CliRun run = runCli({u"rotate"_s, u"--report"_s, report, u"--jobs"_s, u"1"_s, u"--name"_s,
                               u"{name}-{op}"_s, u"--output"_s, out, a, bad, missing});
    QCOMPARE(run.exitCode, 1);
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(object.keys(), (QStringList{u"createdAt"_s, u"items"_s, u"operation"_s, u"product"_s,
                                         u"settings"_s, u"version"_s}));
    QCOMPARE(object.value(u"settings"_s).toObject().value(u"degrees"_s).toInt(), 90);
    QCOMPARE(object.value(u"settings"_s).toObject().value(u"outputName"_s).toString(),
             u"{name}-{op}"_s);
    const QJsonArray items = object.value(u"items"_s).toArray();
    QCOMPARE(items.size(), 3);
    QCOMPARE(items.at(2).toObject().value(u"input"_s).toString(), missing);
    QCOMPARE(items.at(2).toObject().value(u"state"_s).toString(), u"未添加"_s);
    QCOMPARE(items.at(2).toObject().value(u"status"_s).toString(), u"failed"_s);
    QCOMPARE(items.at(0).toObject().value(u"status"_s).toString(), u"ok"_s);
    QCOMPARE(items.at(2).toObject().value(u"detail"_s).toString(), u"文件不存在或无法读取"_s);
    QCOMPARE(items.at(0).toObject().value(u"state"_s).toString(), u"处理完成"_s);
    QCOMPARE(items.at(0).toObject().value(u"output"_s).toString(), out + u"/a-旋转.pdf"_s);
    QCOMPARE(items.at(1).toObject().value(u"state"_s).toString(), u"处理失败"_s);
    QVERIFY(items.at(1).toObject().value(u"detail"_s).toString().startsWith(u"无法读取 PDF"_s));

    // A .csv report is the table the window writes.
    const QString table = m_dir->filePath(u"report.csv"_s);
    QCOMPARE(runCli({u"rotate"_s, u"--report"_s, table, u"--output"_s, out, a}).exitCode, 0);
    QFile csv(table);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QByteArray csvBytes = csv.readAll();
    QVERIFY(csvBytes.startsWith("\xEF\xBB\xBF操作,批量旋转\r\n"));
    const QString csvText = QString::fromUtf8(csvBytes);
    // Local time with its offset, and the state for scripts in the last column.
    static const QRegularExpression localTime(
        u"\r\n时间,\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(Z|[+-]\\d\\d:\\d\\d)\r\n"_s);
    QVERIFY2(localTime.match(csvText).hasMatch(), qPrintable(csvText));
    QVERIFY(csvText.contains(u"文件,状态,结果,说明,status\r\n"_s));
    QVERIFY(csvText.contains(u",ok\r\n"_s));

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

void TestCli::namesOfResults_data()
{
    // IN: a.pdf and b.pdf; OUT: a new folder, or "IN" itself.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("written"); // what OUT holds afterwards; the message for 2
    QTest::newRow("default") << QStringList{u"rotate"_s} << 0
                             << QStringList{u"a-旋转.pdf"_s, u"b-旋转.pdf"_s};
    QTest::newRow("numbered") << QStringList{u"rotate"_s, u"--name"_s, u"{n}_{name}"_s} << 0
                              << QStringList{u"1_a.pdf"_s, u"2_b.pdf"_s};
    QTest::newRow("a merge's file name") << QStringList{u"merge"_s, u"--name"_s, u"2024 报表"_s}
                                         << 0 << QStringList{u"2024 报表.pdf"_s};
    QTest::newRow("split parts named by their source")
        << QStringList{u"split"_s, u"--name"_s, u"{name}"_s} << 0
        << QStringList{u"a"_s, u"a/a-拆分-001.pdf"_s, u"a/a-拆分-002.pdf"_s,
                       u"b"_s, u"b/b-拆分-001.pdf"_s, u"b/b-拆分-002.pdf"_s};
    QTest::newRow("the source's own name, beside it")
        << QStringList{u"rotate"_s, u"--name"_s, u"{name}"_s, u"BESIDE"_s} << 0
        << QStringList{u"a (1).pdf"_s, u"a.pdf"_s, u"b (1).pdf"_s, u"b.pdf"_s};
    QTest::newRow("a separator") << QStringList{u"rotate"_s, u"--name"_s, u"x\\{name}"_s} << 2
                                 << QStringList{u"文件名不能包含"_s};
    QTest::newRow("an unknown placeholder")
        << QStringList{u"rotate"_s, u"--name"_s, u"{date}-{name}"_s} << 2
        << QStringList{u"不认识的占位符 {date}"_s};
}

void TestCli::namesOfResults()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, written);
    const QString in = m_dir->filePath(u"in"_s);
    QVERIFY(QDir().mkpath(in));
    const QStringList sources{pdf(u"in/a.pdf"_s, 2), pdf(u"in/b.pdf"_s, 2)};
    const bool beside = arguments.removeAll(u"BESIDE"_s) > 0;
    const QString out = beside ? in : m_dir->filePath(u"out"_s);
    const CliRun run = runCli(arguments + QStringList{u"--output"_s, out} + sources);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.out + run.err));
    if (exitCode == 2) {
        QVERIFY2(run.err.contains(written.first()), qPrintable(run.err));
    } else {
        QStringList found;
        QDirIterator entries(out, QDir::AllEntries | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
        while (entries.hasNext())
            found << QDir(out).relativeFilePath(entries.next());
        found.sort();
        QCOMPARE(found, written);
    }
    QVERIFY(m_guard.unchanged());
}

void TestCli::protectedFiles_data()
{
    // A source opened by "open", owned by "owner"; restricted, it denies
    // modifying, copying and assembling to the holder of the open password.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("restricted");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QString>("resultPassword"); // opens the result; "" when no result
    const QString assemble = u"文档权限不允许“组合页面（插入、删除、旋转页面）”"_s;
    QTest::newRow("rotate with the open password")
        << QStringList{u"rotate"_s} << false << u"open"_s << 0 << u"处理完成"_s << u"open"_s;
    QTest::newRow("rotate denied assembling")
        << QStringList{u"rotate"_s} << true << u"open"_s << 1 << assemble << QString();
    QTest::newRow("rotate denied assembling, by the owner")
        << QStringList{u"rotate"_s} << true << u"owner"_s << 0 << u"处理完成"_s << u"open"_s;
    QTest::newRow("extract with the open password")
        << QStringList{u"extract"_s, u"--pages"_s, u"2"_s} << false << u"open"_s << 0
        << u"处理完成"_s << u"open"_s;
    QTest::newRow("compress denied modifying") << QStringList{u"compress"_s} << true << u"open"_s
                                               << 1 << u"文档权限不允许“修改文档”"_s << QString();
    QTest::newRow("removing protection takes the owner's")
        << QStringList{u"decrypt"_s} << false << u"open"_s << 1 << u"移除密码需要所有者密码"_s
        << QString();
    QTest::newRow("merge with a new password for the result")
        << QStringList{u"merge"_s, u"--new-password-file"_s, u"NEW"_s, u"PLAIN"_s} << false
        << u"open"_s << 0 << u"这些源文件有密码保护：secret.pdf。合并结果已用新设置的密码加密"_s
        << u"合并"_s;
    QTest::newRow("merge denied assembling")
        << QStringList{u"merge"_s, u"PLAIN"_s} << true << u"open"_s << 1 << assemble << QString();
}

void TestCli::protectedFiles()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, restricted);
    QFETCH(QString, password);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QFETCH(QString, resultPassword);
    const QString secret = m_dir->filePath(u"secret.pdf"_s);
    testsupport::writePdf(secret, {.pages = 3,
                                   .marker = u"s"_s,
                                   .encryption = testsupport::Encryption::R6Aes256,
                                   .userPassword = "open",
                                   .ownerPassword = "owner",
                                   .allowModify = !restricted,
                                   .allowExtract = !restricted,
                                   .allowAssemble = !restricted});
    m_guard.add(secret);
    const QString fresh = m_dir->filePath(u"new.txt"_s);
    testsupport::writeBytes(fresh, "合并\n");
    arguments.replaceInStrings(u"NEW"_s, fresh);
    arguments.replaceInStrings(u"PLAIN"_s, pdf(u"plain.pdf"_s));
    const QString out = m_dir->filePath(u"out"_s);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QPB_PASSWORD"_s, password);
    const CliRun run = runCli(arguments + QStringList{u"--output"_s, out, secret}, environment);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.out + run.err));
    QVERIFY2(run.out.contains(said), qPrintable(run.out));
    const QStringList results = testsupport::folderEntries(out).filter(u".pdf"_s);
    QCOMPARE(results.size(), resultPassword.isEmpty() ? 0 : 1);
    if (!results.isEmpty()) {
        // Kept protection: both passwords, and the owner's restrictions.
        const QString result = out + u'/' + results.first();
        QVERIFY(!testsupport::inspectPdf(result).opened);
        QVERIFY(testsupport::inspectPdf(result, resultPassword.toStdString()).opened);
        if (arguments.first() != u"merge"_s) {
            QVERIFY(testsupport::inspectPdf(result, "owner").ownerMatched);
            QCOMPARE(testsupport::inspectPdf(result, "open").permissions,
                     testsupport::inspectPdf(secret, "open").permissions);
        }
    }
    QVERIFY(m_guard.unchanged());
}

void TestCli::endingTheBatch_data()
{
    QTest::addColumn<QList<int>>("sent");
    QTest::addColumn<bool>("survives"); // the command line lives to say what it did
    QTest::newRow("Ctrl-C twice") << QList<int>{SIGINT, SIGINT} << true;
    QTest::newRow("SIGTERM once") << QList<int>{SIGTERM} << true;
    // Stopped with the batch, the worker publishes nothing meanwhile.
    QTest::newRow("Ctrl-Z, then Ctrl-C twice")
        << QList<int>{SIGTSTP, SIGCONT, SIGINT, SIGINT} << true;
    QTest::newRow("killed") << QList<int>{SIGKILL} << false;
    QTest::newRow("terminal closed") << QList<int>{SIGHUP} << false;
}

// A long recognition, ended from outside: its worker ends with the batch,
// nothing is published, and a report whose name was taken meanwhile is not
// replaced.
void TestCli::endingTheBatch()
{
    QFETCH(QList<int>, sent);
    QFETCH(bool, survives);
    QTemporaryDir models;
    QVERIFY(testsupport::fillModelsFolder(models.path()));
    const QString scan = m_dir->filePath(u"long.pdf"_s);
    testsupport::writeDrawnPdf(
        scan, QList<testsupport::DrawnPage>(12, {.lines = {u"A page that takes a while."_s}}));
    m_guard.add(scan);
    const QString later = m_dir->filePath(u"later.pdf"_s);
    testsupport::writeDrawnPdf(later, {{.lines = {u"Never started."_s}}});
    m_guard.add(later);
    const QString out = m_dir->filePath(u"out"_s);
    const QString report = m_dir->filePath(u"报告.json"_s);
    QProcess process;
    process.start(testsupport::workerExecutable(),
                  {u"batch"_s, u"ocr"_s, u"--language"_s, u"eng"_s, u"--models"_s, models.path(),
                   u"--jobs"_s, u"1"_s, u"--report"_s, report, u"--output"_s, out, scan, later});
    QVERIFY(process.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return testsupport::stagingLockHeld(out); }, 30000));
    testsupport::writeBytes(report, "theirs");
    for (const int signal : sent) {
        QCOMPARE(process.state(), QProcess::Running);
        ::kill(pid_t(process.processId()), signal);
        QTest::qWait(300);
        if (signal == SIGTSTP) {
            const qint64 worker = stagingWorkerPid(out);
            QVERIFY(worker > 0);
            QVERIFY(QTest::qWaitFor([&] { return processStopped(worker); }, 3000));
            QVERIFY(processStopped(process.processId()));
        }
    }
    QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(30000));
    // The worker ends with its parent: its lock is free within a second or so.
    QVERIFY(QTest::qWaitFor([&] { return !testsupport::stagingLockHeld(out); }, 2000));
    QCOMPARE(testsupport::sha256File(report),
             QCryptographicHash::hash("theirs", QCryptographicHash::Sha256));
    if (survives) {
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        const QString said = QString::fromUtf8(process.readAllStandardOutput());
        QVERIFY(said.contains(u"已停止"_s));
        QVERIFY(said.contains(u"未开始  "_s + later));
        QVERIFY(QString::fromUtf8(process.readAllStandardError()).contains(u"已被占用"_s));
        QCOMPARE(testsupport::folderEntries(out), QStringList());
    } else {
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        QTest::qWait(500);
        QVERIFY(testsupport::folderEntries(out).filter(u".pdf"_s).isEmpty());
    }
    QVERIFY(m_guard.unchanged());
}

void TestCli::foldersAndManyFiles()
{
    // Folders are read as file managers show them.
    QVERIFY(QDir(m_dir->path()).mkpath(u"order"_s));
    for (const QString& name : {u"s10"_s, u"s2"_s, u"s1"_s})
        pdf(u"order/"_s + name + u".pdf"_s);
    const QString out = m_dir->filePath(u"out"_s);
    CliRun run = runCli({u"merge"_s, u"--output"_s, out, m_dir->filePath(u"order"_s)});
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
    QCOMPARE(testsupport::inspectPdf(out + u"/合并文档-合并.pdf"_s).markers,
             (QStringList{u"s1-p1"_s, u"s2-p1"_s, u"s10-p1"_s}));

    // Past 200 files the command line runs successive batches; a merge stays
    // one document of at most 200 and is refused whole.
    QVERIFY(QDir(m_dir->path()).mkpath(u"many"_s));
    const QByteArray one = testsupport::makePdf({});
    for (int i = 1; i <= 205; ++i)
        testsupport::writeBytes(m_dir->filePath(u"many/f%1.pdf"_s.arg(i)), one);
    const QString many = m_dir->filePath(u"many"_s);
    const QString manyOut = m_dir->filePath(u"many-out"_s);
    run = runCli({u"merge"_s, u"--output"_s, manyOut, many});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(u"合并最多 200 份"_s), qPrintable(run.err));
    QVERIFY(testsupport::folderEntries(manyOut).isEmpty());
    run = runCli({u"rotate"_s, u"--output"_s, manyOut, many});
    QVERIFY2(run.exitCode == 0, qPrintable(run.out.right(2000) + run.err));
    QVERIFY(run.out.contains(u"205 份文件 · 成功 205 · 未成功 0"_s));
    QCOMPARE(testsupport::folderEntries(manyOut).size(), 205);
    QVERIFY(m_guard.unchanged());
}

void TestCli::onATerminal()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    // A new password from the environment is not asked for again.
    const QString source = pdf(u"plain.pdf"_s);
    const QString out = m_dir->filePath(u"out"_s);
    environment.insert(u"QPB_NEW_PASSWORD"_s, u"环境-7731"_s);
    CliRun run = runOnTerminal({u"encrypt"_s, u"--output"_s, out, source}, environment);
    QVERIFY2(run.exitCode == 0, qPrintable(run.out));
    QVERIFY(testsupport::inspectPdf(out + u"/plain-加密.pdf"_s, "环境-7731").opened);
    environment.remove(u"QPB_NEW_PASSWORD"_s);

    // Recognition shows its pages as the window does.
    QTemporaryDir models;
    QVERIFY(testsupport::fillModelsFolder(models.path()));
    const QString scan = m_dir->filePath(u"scan.pdf"_s);
    testsupport::writeDrawnPdf(scan, {{.lines = {u"Two pages"_s}}, {.lines = {u"to read"_s}}}, 150);
    m_guard.add(scan);
    run = runOnTerminal({u"ocr"_s, u"--language"_s, u"eng"_s, u"--dpi"_s, u"150"_s, u"--models"_s,
                         models.path(), u"--output"_s, out, scan},
                        environment);
    QVERIFY2(run.exitCode == 0, qPrintable(run.out));
    QVERIFY2(run.out.contains(u"当前文档 1 / 2 页"_s), qPrintable(run.out));
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
