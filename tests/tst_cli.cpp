// The command-line batch through the real executable: exit codes, the
// report, passwords that never reach a command line or a child's
// environment, Ctrl-C, and the GNU parallel recipe of the README.
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>

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
    void watchingAFolder_data();
    void watchingAFolder();
    void oneWatcherPerFolder_data();
    void oneWatcherPerFolder();

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
    QTest::newRow("compress at the archive level")
        << QStringList{u"compress"_s, u"--level"_s, u"archive"_s, u"--output"_s, u"OUT"_s, u"IN"_s}
        << false << 0 << u"2 份文件 · 成功 2 · 未成功 0"_s;
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
    QTest::newRow("watching for a merge")
        << QStringList{u"watch"_s, u"IN"_s, u"merge"_s, u"--output"_s, u"OUT"_s} << false << 2
        << u"合并需要事先选定的文件"_s;
    QTest::newRow("watching a folder into itself")
        << QStringList{u"watch"_s, u"IN"_s, u"rotate"_s, u"--output"_s, u"IN/."_s} << false << 2
        << u"输出文件夹不能是被监视的文件夹本身"_s;
    QTest::newRow("settling for less than a second")
        << QStringList{u"watch"_s, u"IN"_s,       u"rotate"_s, u"--settle"_s,
                       u"500ms"_s, u"--output"_s, u"OUT"_s}
        << false << 2 << u"--settle 至少为 1s"_s;
    QTest::newRow("a watch's option in a batch")
        << QStringList{u"rotate"_s, u"--new-only"_s, u"--output"_s, u"OUT"_s, u"IN"_s} << false << 2
        << u"--new-only 只用于 watch"_s;
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

namespace {

// `batch watch IN rotate --output OUT` through the real executable, settling
// in a second; what it said accumulates over restarts.
class Watch
{
public:
    Watch(const QString& watched, const QString& output)
        : in(watched), out(output), beneath(watched)
    {
        QDir().mkpath(in);
    }
    ~Watch()
    {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(10000);
        }
    }

    QString in;
    QString out;
    QString beneath; // where files are put: the watched folder, or what a mount shows
    testsupport::SourceGuard guard;

    void start(const QStringList& extra = {})
    {
        m_process = std::make_unique<QProcess>();
        m_process->start(testsupport::workerExecutable(),
                         QStringList{u"batch"_s, u"watch"_s, in, u"rotate"_s, u"--output"_s, out,
                                     u"--settle"_s, u"1s"_s, u"--interval"_s, u"200ms"_s} +
                             extra);
        m_process->waitForStarted();
    }
    // A generated PDF of `pages` pages put in the watched folder.
    QString put(const QString& name, int pages = 1, const QString& marker = {})
    {
        const QString path = beneath + u'/' + name;
        testsupport::writeBytes(
            path, testsupport::makePdf(
                      {.pages = pages,
                       .marker = marker.isEmpty() ? QFileInfo(name).baseName() : marker}));
        guard.add(path);
        return path;
    }
    // One line per file done, as said so far.
    QStringList lines()
    {
        if (m_process)
            m_said += QString::fromUtf8(m_process->readAllStandardOutput());
        return m_said.split(u'\n', Qt::SkipEmptyParts);
    }
    bool waitForLines(qsizetype count)
    {
        return QTest::qWaitFor([&] { return lines().size() >= count; }, 60000);
    }
    // `count` lines, and no more however long one waits: files are done
    // within a poll or two of settling.
    bool doneExactly(qsizetype count)
    {
        if (!waitForLines(count))
            return false;
        QTest::qWait(2000);
        return lines().size() == count;
    }
    // What a signal ends it with: its exit code, or -1 when it did not end.
    int stop(int signal = SIGINT)
    {
        ::kill(pid_t(m_process->processId()), signal);
        return finish();
    }
    // The exit code it ends with by itself, or -1.
    int finish()
    {
        if (!m_process->waitForFinished(30000) || m_process->exitStatus() != QProcess::NormalExit)
            return -1;
        lines();
        m_errors += QString::fromUtf8(m_process->readAllStandardError());
        return m_process->exitCode();
    }
    QString errors() const { return m_errors; }
    QList<QJsonObject> journal() const
    {
        QFile file(out + u"/.quorvin-watch.jsonl"_s);
        QList<QJsonObject> records;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : file.readAll().split('\n')) {
                if (!line.isEmpty())
                    records.append(QJsonDocument::fromJson(line).object());
            }
        }
        return records;
    }

private:
    std::unique_ptr<QProcess> m_process;
    QString m_said;
    QString m_errors;
};

using WatchScenario = std::function<void(Watch&)>;

} // namespace

Q_DECLARE_METATYPE(WatchScenario)

void TestCli::watchingAFolder_data()
{
    // "beside": the output is another folder; "inside": within the watched
    // one; "mounted": the watch reads a FUSE mount of what Watch::beneath holds.
    QTest::addColumn<QString>("layout");
    QTest::addColumn<WatchScenario>("scenario");
    QTest::newRow("a file written slowly is done once, complete")
        << u"beside"_s << WatchScenario([](Watch& watch) {
               watch.start();
               const QByteArray bytes = testsupport::makePdf({.pages = 3, .marker = u"slow"_s});
               QFile file(watch.in + u"/slow.pdf"_s);
               QVERIFY(file.open(QIODevice::WriteOnly));
               for (qsizetype part = 0; part < 4; ++part) {
                   const qsizetype from = part * bytes.size() / 4;
                   file.write(bytes.mid(from, (part + 1) * bytes.size() / 4 - from));
                   file.flush();
                   QTest::qWait(700);
               }
               file.close();
               watch.guard.add(file.fileName());
               QVERIFY(watch.doneExactly(1));
               QVERIFY2(watch.lines().first().startsWith(u"处理完成  "_s),
                        qPrintable(watch.lines().first()));
               QCOMPARE(testsupport::inspectPdf(watch.out + u"/slow-旋转.pdf"_s).markers,
                        testsupport::expectedMarkers(u"slow"_s, {1, 2, 3}));
               QCOMPARE(watch.stop(SIGINT), 0);
           });
    QTest::newRow("ten files at once, each once") << u"beside"_s << WatchScenario([](Watch& watch) {
        watch.start();
        for (int i = 1; i <= 10; ++i)
            watch.put(u"scan%1.pdf"_s.arg(i));
        QVERIFY(watch.doneExactly(10));
        for (int i = 1; i <= 10; ++i)
            QCOMPARE(watch.lines().filter(u"/scan%1.pdf → "_s.arg(i)).size(), 1);
        QCOMPARE(watch.journal().size(), 10);
        QCOMPARE(watch.stop(SIGTERM), 0);
    });
    QTest::newRow("a restart does nothing again") << u"beside"_s << WatchScenario([](Watch& watch) {
        watch.put(u"a.pdf"_s);
        watch.put(u"b.pdf"_s);
        watch.start();
        QVERIFY(watch.waitForLines(2));
        QCOMPARE(watch.stop(SIGINT), 0);
        // A line a crash cut short is passed over, and the next starts a line of its own.
        QFile journal(watch.out + u"/.quorvin-watch.jsonl"_s);
        QVERIFY(journal.open(QIODevice::Append));
        journal.write(R"({"path":"a.pdf","size":)");
        journal.close();
        watch.start();
        watch.put(u"c.pdf"_s);
        QVERIFY(watch.doneExactly(3));
        QVERIFY(watch.lines().last().contains(u"/c.pdf → "_s));
        const QList<QJsonObject> records = watch.journal();
        QCOMPARE(records.size(), 4);
        QVERIFY(records.at(2).isEmpty());
        QCOMPARE(records.at(3).value(u"path"_s).toString(), u"c.pdf"_s);
        QCOMPARE(watch.stop(SIGTERM), 0);
    });
    QTest::newRow("a changed file is done again, under a new name")
        << u"beside"_s << WatchScenario([](Watch& watch) {
               watch.put(u"a.pdf"_s, 1, u"first"_s);
               watch.start();
               QVERIFY(watch.waitForLines(1));
               watch.put(u"a.pdf"_s, 2, u"second"_s);
               QVERIFY(watch.waitForLines(2));
               QVERIFY2(watch.lines().last().endsWith(u"/a-旋转 (1).pdf"_s),
                        qPrintable(watch.lines().join(u'\n')));
               QCOMPARE(testsupport::inspectPdf(watch.out + u"/a-旋转.pdf"_s).markers,
                        testsupport::expectedMarkers(u"first"_s, {1}));
               QCOMPARE(testsupport::inspectPdf(watch.out + u"/a-旋转 (1).pdf"_s).markers,
                        testsupport::expectedMarkers(u"second"_s, {1, 2}));
               QCOMPARE(watch.stop(SIGINT), 0);
           });
    QTest::newRow("a failing file waits for a change")
        << u"beside"_s << WatchScenario([](Watch& watch) {
               const QString broken = watch.in + u"/broken.pdf"_s;
               testsupport::writeBytes(broken, "%PDF-1.7 nothing more");
               testsupport::writeBytes(watch.in + u"/empty.pdf"_s, {});
               watch.start();
               QVERIFY(watch.doneExactly(2));
               QCOMPARE(watch.lines().filter(u"处理失败  "_s).size(), 1);
               QCOMPARE(watch.lines().filter(u"未添加  "_s).size(), 1);
               QCOMPARE(watch.stop(SIGINT), 0);
               watch.start();
               watch.put(u"good.pdf"_s);
               QVERIFY(watch.doneExactly(3));
               watch.put(u"broken.pdf"_s);
               QVERIFY(watch.waitForLines(4));
               QVERIFY(watch.lines().last().startsWith(u"处理完成  "_s + broken));
               QCOMPARE(watch.stop(SIGTERM), 0);
           });
    QTest::newRow("an output folder inside is left alone")
        << u"inside"_s << WatchScenario([](Watch& watch) {
               watch.put(u"a.pdf"_s);
               watch.start({u"--recursive"_s});
               QVERIFY(QDir().mkpath(watch.in + u"/sub"_s));
               watch.put(u"sub/b.pdf"_s);
               QVERIFY(watch.doneExactly(2));
               QVERIFY(QFileInfo::exists(watch.out + u"/sub/b-旋转.pdf"_s));
               QCOMPARE(watch.stop(SIGINT), 0);
           });
    QTest::newRow("new files only") << u"beside"_s << WatchScenario([](Watch& watch) {
        watch.put(u"old.pdf"_s);
        const QString report = QFileInfo(watch.out).absolutePath() + u"/监视报告.csv"_s;
        watch.start({u"--new-only"_s, u"--report"_s, report});
        QTest::qWait(500);
        watch.put(u"new.pdf"_s);
        QVERIFY(watch.doneExactly(1));
        QVERIFY(watch.lines().first().contains(u"/new.pdf → "_s));
        const QList<QJsonObject> journal = watch.journal();
        QCOMPARE(journal.size(), 2);
        QCOMPARE(journal.first().value(u"path"_s).toString(), u"old.pdf"_s);
        QCOMPARE(journal.first().value(u"status"_s).toString(), u"skipped"_s);
        QCOMPARE(watch.stop(SIGINT), 0);
        // The report is the journal's.
        QFile csv(report);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(csv.readAll());
        QVERIFY2(text.contains(u"old.pdf,已跳过,"_s) && text.contains(u"new.pdf,处理完成,"_s),
                 qPrintable(text));
    });
    // Changes made beneath a FUSE mount send no events through it.
    QTest::newRow("a folder that sends no events")
        << u"mounted"_s << WatchScenario([](Watch& watch) {
               watch.start();
               const QString written = watch.beneath + u"/unseen.pdf"_s;
               testsupport::writeBytes(written, testsupport::makePdf({.marker = u"unseen"_s}));
               watch.guard.add(written);
               QVERIFY(watch.waitForLines(1));
               QCOMPARE(watch.stop(SIGTERM), 0);
               QVERIFY(QFileInfo::exists(watch.out + u"/unseen-旋转.pdf"_s));
           });
}

// Each scenario ends the watch with Ctrl-C or SIGTERM, which must leave
// neither a staging folder nor the lock behind, nor any source changed.
void TestCli::watchingAFolder()
{
    QFETCH(QString, layout);
    QFETCH(WatchScenario, scenario);
    const QString in = m_dir->filePath(u"扫描"_s);
    Watch watch(in, layout == u"inside"_s ? in + u"/results"_s : m_dir->filePath(u"out"_s));
    std::shared_ptr<void> unmount;
    if (layout == u"mounted"_s) {
        watch.in = m_dir->filePath(u"mounted"_s);
        QVERIFY(QDir().mkpath(watch.in));
        if (QProcess::execute(u"bindfs"_s, {watch.beneath, watch.in}) != 0)
            QSKIP("bindfs cannot mount here (scripts/setup-debian.sh installs it)");
        unmount.reset(static_cast<void*>(nullptr), [mounted = watch.in](void*) {
            QProcess::execute(u"fusermount"_s, {u"-u"_s, mounted});
        });
    }
    scenario(watch);
    if (QTest::currentTestFailed())
        return;
    for (const QString& entry : testsupport::folderEntries(watch.out))
        QVERIFY2(!entry.startsWith(u".quorvin-batch-"_s) && !entry.endsWith(u".lock"_s),
                 qPrintable(entry));
    QVERIFY(!QFileInfo::exists(watch.in + u"/.quorvin-watch.lock"_s));
    QVERIFY(watch.guard.unchanged());
}

void TestCli::oneWatcherPerFolder_data()
{
    QTest::addColumn<QByteArray>("lock"); // what is in the folder's lock file; "" for none
    QTest::addColumn<int>("minutesOld");
    QTest::addColumn<QString>("refusal"); // "" when the watch starts
    QTest::addColumn<bool>("sameOutput"); // the second watches another folder into the same output
    const QByteArray host = QSysInfo::machineHostName().toUtf8();
    QTest::newRow("another watcher here") << QByteArray() << 0 << QString::fromUtf8(host) << false;
    QTest::newRow("another watch into the same output")
        << QByteArray() << 0 << u"两个监视不能共用一个输出文件夹"_s << true;
    QTest::newRow("another machine's") << QByteArray(R"({"host":"前台-PC","pid":4242})") << 0
                                       << u"前台-PC（进程 4242）"_s << false;
    QTest::newRow("another machine's, untouched for 11 minutes")
        << QByteArray(R"({"host":"前台-PC","pid":4242})") << 11 << QString() << false;
    QTest::newRow("this machine's, its process gone")
        << QByteArray(R"({"host":")" + host + R"(","pid":999999999})") << 0 << QString() << false;
}

void TestCli::oneWatcherPerFolder()
{
    QFETCH(QByteArray, lock);
    QFETCH(int, minutesOld);
    QFETCH(QString, refusal);
    QFETCH(bool, sameOutput);
    const QString in = m_dir->filePath(u"in"_s);
    Watch first(in, m_dir->filePath(u"out"_s));
    const QString lockFile = in + u"/.quorvin-watch.lock"_s;
    if (lock.isEmpty()) {
        first.start();
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(lockFile); }, 10000));
    } else {
        testsupport::writeBytes(lockFile, lock);
        QFile file(lockFile);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-60 * minutesOld),
                                 QFileDevice::FileModificationTime));
    }
    // A second watcher, into another output folder.
    Watch second(sameOutput ? m_dir->filePath(u"in2"_s) : in,
                 m_dir->filePath(sameOutput ? u"out"_s : u"elsewhere"_s));
    second.start();
    if (refusal.isEmpty()) {
        // Taken over: it watches, and gives the lock up when it ends.
        second.put(u"a.pdf"_s);
        QVERIFY(second.waitForLines(1));
        QCOMPARE(second.stop(SIGINT), 0);
        QVERIFY(!QFileInfo::exists(lockFile));
    } else {
        QCOMPARE(second.finish(), 1);
        QVERIFY2(second.errors().contains(refusal), qPrintable(second.errors()));
        QVERIFY(QFileInfo::exists(lockFile));
        // Refused, it holds nothing of its own.
        if (sameOutput)
            QVERIFY(!QFileInfo::exists(second.in + u"/.quorvin-watch.lock"_s));
    }
    if (lock.isEmpty())
        QCOMPARE(first.stop(SIGINT), 0);
}

QTEST_MAIN(TestCli)
#include "tst_cli.moc"
