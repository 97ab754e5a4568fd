// The worker under faults and load: killed workers, full disks, racing
// instances, and secrets that must not leak.
#include "jobframe/staging.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <utime.h>

using namespace Qt::StringLiterals;

namespace {

using testsupport::makeRequest;

QStringList stagingFolders(const QString& folder)
{
    return testsupport::folderEntries(folder).filter(u".quorvin-batch-"_s);
}

// A worker that has been handed its request and is left running.
std::unique_ptr<QProcess> startWorker(const QJsonObject& request)
{
    auto process = std::make_unique<QProcess>();
    process->start(testsupport::workerExecutable(), {u"--worker"_s});
    process->waitForStarted();
    process->write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    process->closeWriteChannel();
    return process;
}

} // namespace

class TestHardening : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void staleStagingFoldersOfDeadWorkers();
    void runningWorkersKeepTheirFolders();
    void fullDiskLeavesNothingBehind();
    void racingWorkersNeverReplaceEachOther();
    void passwordsNeverLeak();

private:
    QString scanSource(const QString& name, int pages);
    QTemporaryDir m_models;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestHardening::initTestCase()
{
    QVERIFY(testsupport::fillModelsFolder(m_models.path()));
}

void TestHardening::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
}

QString TestHardening::scanSource(const QString& name, int pages)
{
    const QString path = m_dir->filePath(name);
    QList<testsupport::DrawnPage> drawn;
    for (int i = 0; i < pages; ++i)
        drawn.append({.lines = {u"A page that takes a while to recognise."_s}});
    testsupport::writeDrawnPdf(path, drawn);
    return path;
}

void TestHardening::staleStagingFoldersOfDeadWorkers()
{
    const QString out = m_dir->filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    const QString scan = scanSource(u"scan.pdf"_s, 6);
    const QJsonObject ocr = makeRequest(
        u"ocr"_s, {scan}, out, {{u"ocrModels"_s, m_models.path()}, {u"ocrLanguage"_s, u"eng"_s}});
    std::unique_ptr<QProcess> worker = startWorker(ocr);
    QVERIFY(QTest::qWaitFor([&] { return !stagingFolders(out).isEmpty(); }, 30000));
    QTest::qWait(500);
    ::kill(static_cast<pid_t>(worker->processId()), SIGKILL);
    QVERIFY(worker->waitForFinished(10000));
    QCOMPARE(stagingFolders(out).size(), 1);

    // Old folders from before locks existed, and fresh ones being set up.
    QVERIFY(QDir(out).mkdir(u".quorvin-batch-old123"_s));
    const QByteArray old = QFile::encodeName(out + u"/.quorvin-batch-old123"_s);
    const utimbuf hourAgo{time(nullptr) - 3600, time(nullptr) - 3600};
    QCOMPARE(::utime(old.constData(), &hourAgo), 0);
    QVERIFY(QDir(out).mkdir(u".quorvin-batch-new123"_s));

    const QString source = m_dir->filePath(u"doc.pdf"_s);
    testsupport::writePdf(source, {});
    const testsupport::WorkerRun run =
        testsupport::runWorker(makeRequest(u"rotate"_s, {source}, out));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(stagingFolders(out), QStringList{u".quorvin-batch-new123"_s});
}

void TestHardening::runningWorkersKeepTheirFolders()
{
    const QString out = m_dir->filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    const QString scan = scanSource(u"scan.pdf"_s, 2);
    testsupport::SourceGuard guard;
    guard.add(scan);
    std::unique_ptr<QProcess> worker = startWorker(makeRequest(
        u"ocr"_s, {scan}, out, {{u"ocrModels"_s, m_models.path()}, {u"ocrLanguage"_s, u"eng"_s}}));
    QVERIFY(QTest::qWaitFor([&] { return !stagingFolders(out).isEmpty(); }, 30000));
    const QStringList inUse = stagingFolders(out);

    // Another instance's job in the same folder meanwhile.
    const QString source = m_dir->filePath(u"doc.pdf"_s);
    testsupport::writePdf(source, {});
    QCOMPARE(testsupport::runWorker(makeRequest(u"rotate"_s, {source}, out)).exitCode, 0);
    QCOMPARE(batch::removeStaleStagingFolders(out), 0);
    QCOMPARE(stagingFolders(out), inUse);

    QVERIFY(worker->waitForFinished(120000));
    QCOMPARE(worker->exitCode(), 0);
    QVERIFY(stagingFolders(out).isEmpty());
    QVERIFY(QFileInfo::exists(out + u"/scan-可搜索.pdf"_s));
    QVERIFY(guard.unchanged());
}

void TestHardening::fullDiskLeavesNothingBehind()
{
    // A file-size limit on the worker stands in for a full disk.
    const QString out = m_dir->filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    const QString a = m_dir->filePath(u"a.pdf"_s);
    const QString b = m_dir->filePath(u"b.pdf"_s);
    testsupport::writePdf(a, {.pages = 90, .duplicateImages = true});
    testsupport::writePdf(b, {.pages = 90, .duplicateImages = true});
    testsupport::SourceGuard guard;
    guard.add(a);
    guard.add(b);
    QVERIFY(QFileInfo(a).size() > 256 * 1024);

    for (const QJsonObject& job :
         {makeRequest(u"merge"_s, {a, b}, out),
          makeRequest(u"split"_s, {a}, out, {{u"group"_s, 20}}),
          makeRequest(u"encrypt"_s, {a}, out, {{u"newPassword"_s, u"pw"_s}})}) {
        QProcess process;
        process.setChildProcessModifier([] {
            const rlimit limit{8 * 1024, 8 * 1024};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        process.start(testsupport::workerExecutable(), {u"--worker"_s});
        QVERIFY(process.waitForStarted());
        process.write(QJsonDocument(job).toJson(QJsonDocument::Compact) + '\n');
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        const QJsonObject result =
            QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        const QString error = result.value(u"error"_s).toString();
        QVERIFY2(error.startsWith(u"输出失败："_s) ||
                     error == u"无法保存结果，原文件和已有结果均未覆盖。"_s,
                 qPrintable(error));
        QVERIFY(testsupport::folderEntries(out).isEmpty());
    }
    QVERIFY(guard.unchanged());
}

void TestHardening::racingWorkersNeverReplaceEachOther()
{
    const QString out = m_dir->filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    const QString source = m_dir->filePath(u"race.pdf"_s);
    testsupport::writePdf(source, {.pages = 3});
    constexpr int workers = 12;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<QProcess>> running;
        for (int i = 0; i < workers; ++i)
            running.push_back(startWorker(makeRequest(u"rotate"_s, {source}, out)));
        QSet<QString> outputs;
        for (auto& process : running) {
            QVERIFY(process->waitForFinished(60000));
            QCOMPARE(process->exitCode(), 0);
            outputs.insert(QJsonDocument::fromJson(process->readAllStandardOutput())
                               .object()
                               .value(u"output"_s)
                               .toString());
        }
        QCOMPARE(outputs.size(), workers);
    }
    const QStringList entries = testsupport::folderEntries(out);
    QCOMPARE(entries.size(), 2 * workers);
    QVERIFY(entries.contains(u"race-旋转.pdf"_s));
    QVERIFY(entries.contains(u"race-旋转 (23).pdf"_s));
    for (const QString& entry : entries)
        QCOMPARE(testsupport::inspectPdf(out + u'/' + entry).markers.size(), 3);
}

void TestHardening::passwordsNeverLeak()
{
    // The worker is started through a wrapper that records its command line and
    // environment, as the GUI starts it.
    const QString out = m_dir->filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    const QString record = m_dir->filePath(u"record.txt"_s);
    const QString wrapper = m_dir->filePath(u"wrapper.sh"_s);
    testsupport::writeBytes(wrapper,
                            "#!/bin/sh\n{ echo \"$0 $*\"; env; cat /proc/$$/cmdline; } >> '" +
                                QFile::encodeName(record) + "'\nexec '" +
                                QFile::encodeName(testsupport::workerExecutable()) + "' \"$@\"\n");
    QFile(wrapper).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const QString newPassword = u"Zq7-新密码-unique-8841"_s;
    const QString ownerPassword = u"Ow9-所有者-unique-5512"_s;
    const QString source = m_dir->filePath(u"secret.pdf"_s);
    testsupport::writePdf(source, {.encryption = testsupport::Encryption::R6Aes256,
                                   .userPassword = "open-unique-1",
                                   .ownerPassword = ownerPassword.toStdString()});
    const auto run = [&](const QJsonObject& job) -> QByteArray {
        QProcess process;
        process.start(wrapper, {u"--worker"_s});
        process.waitForStarted();
        process.write(QJsonDocument(job).toJson(QJsonDocument::Compact) + '\n');
        process.closeWriteChannel();
        process.waitForFinished(60000);
        return process.readAllStandardOutput() + process.readAllStandardError();
    };
    QByteArray said;
    said += run(makeRequest(u"decrypt"_s, {source}, out, {{u"password"_s, ownerPassword}}));
    said += run(makeRequest(u"encrypt"_s, {source}, out,
                            {{u"password"_s, ownerPassword}, {u"newPassword"_s, newPassword}}));
    // Failures, too: a wrong password and a wrong new password.
    said += run(makeRequest(u"decrypt"_s, {source}, out, {{u"password"_s, newPassword}}));
    said +=
        run(makeRequest(u"encrypt"_s, {source}, out,
                        {{u"password"_s, ownerPassword}, {u"newPassword"_s, QString(200, u'x')}}));
    QCOMPARE(testsupport::folderEntries(out).size(), 2);

    QStringList written{record};
    for (const QString& entry : testsupport::folderEntries(out))
        written << out + u'/' + entry;
    for (const QString& secret : {newPassword, ownerPassword}) {
        const QByteArray bytes = secret.toUtf8();
        QVERIFY(!said.contains(bytes));
        for (const QString& path : std::as_const(written)) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY2(!file.readAll().contains(bytes), qPrintable(path));
        }
    }
    QVERIFY(testsupport::inspectPdf(out + u"/secret-加密.pdf"_s, newPassword.toStdString())
                .ownerMatched);
}

QTEST_MAIN(TestHardening)
#include "tst_hardening.moc"
