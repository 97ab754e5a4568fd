// The platform layer on the system it was built for: Debian here, Windows
// under Wine (scripts/windows-test.sh). Publishing that never replaces, names
// beyond any ANSI code page, and workers that end with the batch.
#include "engine/platformfs.h"
#include "engine/platformlogin.h"
#include "engine/platformproc.h"
#include "jobframe/staging.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <optional>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

using namespace Qt::StringLiterals;

namespace {

// Characters outside code page 936 (an extension-B ideograph, an emoji)
// beside ones inside it, and a space.
const QString unicodeName = u"合同 扫描 \U00020000\U0001F600"_s;

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The helper modes: a batch that starts one worker and waits, and a worker
// that writes a heartbeat until it is ended.
int runHelper(const QStringList& arguments)
{
    if (arguments.value(1) == u"--batch"_s) {
        QProcess worker;
        batch::startInOwnGroup(worker);
        worker.start(QCoreApplication::applicationFilePath(), {u"--worker"_s, arguments.value(2)});
        worker.waitForStarted();
        worker.waitForFinished(-1);
        return 0;
    }
    batch::watchParent();
    QFile beat(arguments.value(2));
    if (!beat.open(QIODevice::WriteOnly))
        return 1;
    for (;;) {
        beat.write("*");
        beat.flush();
        QThread::msleep(50);
    }
}

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void publishingNeverReplaces_data();
    void publishingNeverReplaces();
    void librariesOpenEveryName();
    void lockRecordStaysReadable();
    void workersEndWithTheBatch();
    void whatAWatchAsks();
    void sweepRemovesOnlyDeadJobsFolders_data();
    void sweepRemovesOnlyDeadJobsFolders();
};

void TestPlatform::publishingNeverReplaces_data()
{
    QTest::addColumn<bool>("folder");
    QTest::addColumn<bool>("targetTaken");
    QTest::addColumn<bool>("byClaim");
    QTest::addColumn<QString>("name");
    for (bool byClaim : {false, true}) {
        const char* how = byClaim ? "by claim" : "atomic";
        QTest::addRow("file to a free name, %s", how) << false << false << byClaim << u"结果"_s;
        QTest::addRow("file to a taken name, %s", how) << false << true << byClaim << u"结果"_s;
        QTest::addRow("folder to a free name, %s", how) << true << false << byClaim << u"分卷"_s;
        QTest::addRow("folder to a taken name, %s", how) << true << true << byClaim << u"分卷"_s;
        QTest::addRow("name beyond code page 936, %s", how)
            << false << false << byClaim << unicodeName;
        QTest::addRow("taken name beyond code page 936, %s", how)
            << false << true << byClaim << unicodeName;
        // Past MAX_PATH, where Windows needs the long-path form of a name.
        const QString deep = QString(u"很长的文件夹名称"_s).repeated(8) + u'/' +
                             QString(u"更深一层的文件夹"_s).repeated(8) + u'/' +
                             QString(u"第三层的长文件夹"_s).repeated(8) + u"/结果"_s;
        QTest::addRow("path past 260 characters, %s", how) << false << false << byClaim << deep;
        QTest::addRow("taken path past 260 characters, %s", how)
            << false << true << byClaim << deep;
    }
}

void TestPlatform::publishingNeverReplaces()
{
    QFETCH(bool, folder);
    QFETCH(bool, targetTaken);
    QFETCH(bool, byClaim);
    QFETCH(QString, name);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QDir dir(root.path());
    QVERIFY(dir.mkpath(u"staging/"_s + QFileInfo(name).path()));
    QVERIFY(dir.mkpath(QFileInfo(name).path()));
    const QString from = dir.filePath(u"staging/"_s + name + u".pdf"_s);
    const QString to = dir.filePath(name + u".pdf"_s);
    if (folder) {
        QVERIFY(dir.mkpath(from));
        writeFile(from + u"/part-1.pdf"_s, "new");
    } else {
        writeFile(from, "new");
    }
    if (targetTaken)
        writeFile(to, "theirs");

    QVERIFY(batch::entryTaken(from));
    QCOMPARE(batch::entryTaken(to), targetTaken);
    const bool moved =
        byClaim ? batch::renameNoReplaceByClaim(from, to, false) : batch::renameNoReplace(from, to);
    QCOMPARE(moved, !targetTaken);
    if (targetTaken) {
        QCOMPARE(readFile(to), QByteArray("theirs"));
        QVERIFY(batch::entryTaken(from));
    } else {
        QCOMPARE(readFile(folder ? to + u"/part-1.pdf"_s : to), QByteArray("new"));
        QVERIFY(!batch::entryTaken(from));
    }
}

void TestPlatform::librariesOpenEveryName()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString folder = QDir(root.path()).filePath(unicodeName);
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + u'/' + unicodeName + u".pdf"_s;
    QCOMPARE(batch::fromLibraryPath(batch::libraryPath(path).constData()), path);

    // QPDF writes and reads by the name the layer gives it.
    const QByteArray name = batch::libraryPath(path);
    {
        QPDF empty;
        empty.emptyPDF();
        QPDFWriter writer(empty, name.constData());
        writer.write();
    }
    QVERIFY(QFile::exists(path));
    QPDF read;
    read.processFile(name.constData());
    QCOMPARE(read.getRoot().getKey("/Type").getName(), std::string("/Catalog"));
    QVERIFY(batch::sameEntry(path, QDir(folder).filePath(u"."_s) + u'/' + unicodeName + u".pdf"_s));
    QVERIFY(!batch::sameEntry(path, folder));
}

void TestPlatform::lockRecordStaysReadable()
{
    // A sweep reads who holds a lock while it is held: on Windows a lock
    // blocks reads of its range, so it must lie past the record.
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString path = QDir(root.path()).filePath(u".lock"_s);
    batch::FileLock lock;
    QVERIFY(lock.tryLock(path, "host=here\n"));
    QVERIFY(lock.isLocked());
    QCOMPARE(readFile(path), QByteArray("host=here\n"));
    QVERIFY(!QFile::exists(path + u"-new"_s));
}

void TestPlatform::workersEndWithTheBatch()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString beat = QDir(root.path()).filePath(u"beat"_s);
    QProcess batchProcess;
    batchProcess.start(QCoreApplication::applicationFilePath(), {u"--batch"_s, beat});
    QVERIFY(batchProcess.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(beat).size() > 2, 20000);

    batchProcess.kill(); // however the batch ends, even without running any code
    QVERIFY(batchProcess.waitForFinished());
    // The worker is gone once its heartbeat stops growing.
    qint64 last = -1;
    QElapsedTimer waited;
    waited.start();
    while (QFileInfo(beat).size() != last && waited.elapsed() < 10000) {
        last = QFileInfo(beat).size();
        QThread::msleep(500);
    }
    QCOMPARE(QFileInfo(beat).size(), last);
}

// A watched folder asks whether a writer still holds a file, whether a lock's
// process still runs, and sets the program to start at login.
void TestPlatform::whatAWatchAsks()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString scan = QDir(root.path()).filePath(unicodeName + u".pdf"_s);
    {
        QFile writer(scan);
        QVERIFY(writer.open(QIODevice::WriteOnly));
        writer.write("%PDF-");
        writer.flush();
#ifdef Q_OS_WIN
        QVERIFY(batch::heldByWriter(scan));
#else
        QVERIFY(!batch::heldByWriter(scan)); // no system here says so
#endif
    }
    QVERIFY(!batch::heldByWriter(scan));

    QVERIFY(batch::processRunning(QCoreApplication::applicationPid()));
    QProcess ended;
    ended.start(QCoreApplication::applicationFilePath(), {u"-functions"_s});
    QVERIFY(ended.waitForStarted());
    const qint64 pid = ended.processId();
    QVERIFY(ended.waitForFinished());
    QVERIFY(!batch::processRunning(pid));

#ifndef Q_OS_WIN
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root.filePath(u"config"_s)));
#endif
    QVERIFY(!batch::startsAtLogin());
    QCOMPARE(batch::setStartAtLogin(true, QCoreApplication::applicationFilePath()), QString());
    QVERIFY(batch::startsAtLogin());
    QCOMPARE(batch::setStartAtLogin(false, QCoreApplication::applicationFilePath()), QString());
    QVERIFY(!batch::startsAtLogin());
}

void TestPlatform::sweepRemovesOnlyDeadJobsFolders_data()
{
    // A staging folder's entries; "alive" holds its lock, "elsewhere" names
    // another machine in the lock record.
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("removed");
    QTest::addRow("a dead job's result") << QStringList{u"result.pdf.partial"_s} << true;
    QTest::addRow("a dead recognition's working copy")
        << QStringList{u"secret-4242.pdf"_s, u"recognized.pdf"_s} << true;
    QTest::addRow("a dead split's parts")
        << QStringList{u"parts/part-1.pdf"_s, u"parts/part-2.pdf.partial"_s} << true;
    QTest::addRow("a live job") << QStringList{u"alive"_s, u"result.pdf"_s} << false;
    QTest::addRow("a file that is not ours")
        << QStringList{u"result.pdf"_s, u"笔记.txt"_s} << false;
    QTest::addRow("a part that is not ours") << QStringList{u"parts/封面.pdf"_s} << false;
    QTest::addRow("locked on another machine") << QStringList{u"elsewhere"_s} << false;
}

void TestPlatform::sweepRemovesOnlyDeadJobsFolders()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, removed);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString folder = root.filePath(batch::stagingPrefix + u"aB3dE9"_s);
    QVERIFY(QDir().mkpath(folder));
    // The record names this machine and boot, as a job's does, or another one.
    const QByteArray host = entries.contains(u"elsewhere"_s) ? QByteArray("another-machine")
                                                             : QSysInfo::machineHostName().toUtf8();
    const QByteArray record = "host=" + host + "\nboot=" + batch::bootIdentity() + "\npid=1\n";
    std::optional<batch::FileLock> lock(std::in_place);
    QVERIFY(lock->tryLock(folder + u"/.lock"_s, record));
    if (!entries.contains(u"alive"_s))
        lock.reset(); // the job died: the system let go of its lock
    for (const QString& entry : entries) {
        if (entry == u"alive"_s || entry == u"elsewhere"_s)
            continue;
        QVERIFY(QDir().mkpath(QFileInfo(folder + u'/' + entry).path()));
        writeFile(folder + u'/' + entry, "ours");
    }

    QCOMPARE(batch::removeStaleStagingFolders(root.path()), removed ? 1 : 0);
    QCOMPARE(QFileInfo::exists(folder), !removed);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.value(1) == u"--batch"_s || arguments.value(1) == u"--worker"_s)
        return runHelper(arguments);
    TestPlatform test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_platform.moc"
