// The worker under faults and load: killed workers, full disks, racing
// instances, and secrets that must not leak.
#include "jobframe/staging.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>
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
    void sweepTouchesOnlyWhatIsProvablyOurs_data();
    void sweepTouchesOnlyWhatIsProvablyOurs();
    void runningWorkersKeepTheirFolders();
    void fullDiskLeavesNothingBehind();
    void racingWorkersNeverReplaceEachOther();
    void passwordsNeverLeak();
    void flateBombStaysWithinMemory_data();
    void flateBombStaysWithinMemory();
    void nestedFormsEndTheirWalk();

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

// A killed OCR job of a protected source leaves no decrypted copy anywhere,
// and its folders go with the next jobs.
void TestHardening::staleStagingFoldersOfDeadWorkers()
{
    const QString out = m_dir->filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    const QString plain = scanSource(u"plain.pdf"_s, 6);
    const QString scan = m_dir->filePath(u"scan.pdf"_s);
    testsupport::writeProtectedCopy(plain, scan,
                                    {.encryption = testsupport::Encryption::R6Aes256,
                                     .userPassword = "u",
                                     .ownerPassword = "o"});
    const QJsonObject ocr = makeRequest(
        u"ocr"_s, {scan}, out,
        {{u"ocrModels"_s, m_models.path()}, {u"ocrLanguage"_s, u"eng"_s}, {u"password"_s, u"o"_s}});
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                          u"/Quorvin/QuorvinPDFBatch.cn"_s;
    const auto privateFolders = [&] {
        return QDir(cache).entryList({u"ocr-*"_s}, QDir::Dirs | QDir::Hidden);
    };
    const QStringList before = privateFolders();
    std::unique_ptr<QProcess> worker = startWorker(ocr);
    QVERIFY(QTest::qWaitFor([&] { return testsupport::stagingLockHeld(out); }, 30000));
    // Other tests' jobs make and remove folders there meanwhile: the new name is ours.
    QString ours;
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const QString& name : privateFolders()) {
                if (!before.contains(name))
                    ours = name;
            }
            return !ours.isEmpty();
        },
        30000));
    QTest::qWait(1000); // the working copy is written, recognition under way
    ::kill(static_cast<pid_t>(worker->processId()), SIGKILL);
    QVERIFY(worker->waitForFinished(10000));
    QCOMPARE(stagingFolders(out).size(), 1);
    QCOMPARE(testsupport::folderEntries(cache + u'/' + ours), QStringList{u".lock"_s});

    const QString source = m_dir->filePath(u"doc.pdf"_s);
    testsupport::writePdf(source, {});
    const testsupport::WorkerRun run =
        testsupport::runWorker(makeRequest(u"rotate"_s, {source}, out));
    QCOMPARE(run.exitCode, 0);
    QVERIFY(stagingFolders(out).isEmpty());
    // The next recognition sweeps the dead one's private folder.
    const QString page = scanSource(u"page.pdf"_s, 1);
    QCOMPARE(testsupport::runWorker(
                 makeRequest(u"ocr"_s, {page}, out,
                             {{u"ocrModels"_s, m_models.path()}, {u"ocrLanguage"_s, u"eng"_s}}))
                 .exitCode,
             0);
    QVERIFY2(!privateFolders().contains(ours), qPrintable(ours));
}

void TestHardening::sweepTouchesOnlyWhatIsProvablyOurs_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("removed");
    QTest::newRow("dead job's files") << u"lock result.pdf parts/part-0001.pdf"_s << true;
    QTest::newRow("dead OCR job") << u"lock ocr-source.pdf recognized.pdf.partial"_s << true;
    QTest::newRow("no lock, an hour old") << u"old result.pdf"_s << false;
    QTest::newRow("lock being created") << u"lock-new result.pdf"_s << false;
    QTest::newRow("lock never named, a minute old") << u"lock-new result.pdf old"_s << true;
    QTest::newRow("empty, being set up") << u"empty"_s << false;
    QTest::newRow("empty, a minute old") << u"empty old"_s << true;
    QTest::newRow("dead compression's copies")
        << u"lock result.pdf result.pdf.trial result.pdf.source qt_temp.Ab12Cd"_s << true;
    QTest::newRow("dead job's claim") << u"lock result.pdf claim"_s << true;
    QTest::newRow("claim already published") << u"lock claim published"_s << true;
    QTest::newRow("lock held") << u"lock held result.pdf"_s << false;
    QTest::newRow("a name we never write") << u"lock notes.txt"_s << false;
    QTest::newRow("result is a link") << u"lock result.pdf>victim/keep.pdf"_s << false;
    QTest::newRow("parts is a link") << u"lock parts>victim"_s << false;
    QTest::newRow("lock is a link") << u"lock>victim/keep.pdf result.pdf"_s << false;
    QTest::newRow("the folder is a link") << u"self>victim"_s << false;
    QTest::newRow("a published split folder")
        << u"parts/part-0001.pdf parts/part-0002.pdf"_s << false;
    QTest::newRow("another user's folder") << u"lock result.pdf foreign"_s << false;
    // On a share several machines write to, another host's lock may be held
    // there unseen.
    QTest::newRow("another host's, fresh") << u"hostlock result.pdf"_s << false;
    QTest::newRow("another host's, a day old") << u"hostlock result.pdf dayold"_s << true;
    QTest::newRow("this host's") << u"ownhostlock result.pdf"_s << true;
    QTest::newRow("this host name, another boot") << u"otherbootlock result.pdf"_s << false;
}

void TestHardening::sweepTouchesOnlyWhatIsProvablyOurs()
{
    // A shared output folder such as /tmp: anything there may be someone
    // else's, or a link someone put there to make us delete their target.
    QFETCH(QString, setup);
    QFETCH(bool, removed);
    if (setup.contains(u"foreign"_s) && ::geteuid() != 0)
        QSKIP("needs root to give a folder to another user");
    const QString out = m_dir->filePath(u"out"_s);
    const QString victim = m_dir->filePath(u"victim"_s);
    QVERIFY(QDir().mkpath(out) && QDir().mkpath(victim));
    testsupport::writeBytes(victim + u"/keep.pdf"_s, "theirs");
    const QString folder = out + u"/.quorvin-batch-x1Y2z3"_s;
    batch::FileLock held;
    for (const QString& item : setup.split(u' ')) {
        const QString name = item.section(u'>', 0, 0);
        const QString target = m_dir->filePath(item.section(u'>', 1));
        if (name == u"self"_s) {
            QVERIFY(QFile::link(victim, folder));
            continue;
        }
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + u'/' +
                             (name == u"lock"_s       ? u".lock"_s
                              : name == u"lock-new"_s ? u".lock-new"_s
                                                      : name);
        if (item.contains(u'>')) {
            QVERIFY(QFile::link(target, path));
        } else if (name == u"held"_s) {
            QFile::remove(folder + u"/.lock"_s);
            QVERIFY(held.tryLock(folder + u"/.lock"_s));
        } else if (name == u"old"_s || name == u"dayold"_s) {
            const time_t then = time(nullptr) - (name == u"old"_s ? 3600 : 25 * 3600);
            const utimbuf past{then, then};
            for (const QString& aged :
                 QStringList{folder + u"/.lock"_s, folder + u"/.lock-new"_s, folder})
                ::utime(QFile::encodeName(aged).constData(), &past);
        } else if (name == u"empty"_s) {
            continue;
        } else if (name == u"claim"_s || name == u"published"_s) {
            // A name claimed in the output folder, empty and without
            // permissions, or already holding the published result.
            testsupport::writeBytes(folder + u"/.claim"_s, "合同-压缩.pdf");
            const QString claimed = out + u"/合同-压缩.pdf"_s;
            QFile::remove(claimed);
            testsupport::writeBytes(claimed, name == u"published"_s ? "result" : "");
            if (name == u"claim"_s)
                QVERIFY(QFile::setPermissions(claimed, {}));
        } else if (name.endsWith(u"hostlock"_s) || name == u"otherbootlock"_s) {
            QByteArray record = "host=" +
                                (name == u"hostlock"_s ? QByteArray("another-machine")
                                                       : QSysInfo::machineHostName().toUtf8()) +
                                "\n";
            if (name == u"otherbootlock"_s)
                record += "boot=00000000-0000-0000-0000-000000000000\npid=1\n";
            testsupport::writeBytes(folder + u"/.lock"_s, record);
        } else if (name == u"foreign"_s) {
            QCOMPARE(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
        } else {
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            testsupport::writeBytes(path, "ours");
        }
    }

    const QString source = m_dir->filePath(u"doc.pdf"_s);
    testsupport::writePdf(source, {});
    QCOMPARE(testsupport::runWorker(makeRequest(u"rotate"_s, {source}, out)).exitCode, 0);
    QCOMPARE(stagingFolders(out).isEmpty(), removed);
    if (setup.contains(u"claim"_s)) {
        QCOMPARE(QFileInfo::exists(out + u"/合同-压缩.pdf"_s), setup.contains(u"published"_s));
    }
    QCOMPARE(testsupport::folderEntries(victim), QStringList{u"keep.pdf"_s});
    QCOMPARE(testsupport::sha256File(victim + u"/keep.pdf"_s),
             QCryptographicHash::hash("theirs", QCryptographicHash::Sha256));
}

void TestHardening::runningWorkersKeepTheirFolders()
{
    const QString out = m_dir->filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    const QString scan = scanSource(u"scan.pdf"_s, 6);
    testsupport::SourceGuard guard;
    guard.add(scan);
    std::unique_ptr<QProcess> worker = startWorker(makeRequest(
        u"ocr"_s, {scan}, out, {{u"ocrModels"_s, m_models.path()}, {u"ocrLanguage"_s, u"eng"_s}}));
    QVERIFY(QTest::qWaitFor([&] { return testsupport::stagingLockHeld(out); }, 30000));
    const QStringList inUse = stagingFolders(out);
    // The decrypted working copy lies elsewhere, in a private folder.
    QTest::qWait(500);
    QCOMPARE(testsupport::folderEntries(out + u'/' + inUse.value(0)), QStringList{u".lock"_s});

    // Another instance's job in the same folder meanwhile.
    const QString source = m_dir->filePath(u"doc.pdf"_s);
    testsupport::writePdf(source, {});
    QCOMPARE(testsupport::runWorker(makeRequest(u"rotate"_s, {source}, out)).exitCode, 0);
    QCOMPARE(batch::removeStaleStagingFolders(out), 0);
    QCOMPARE(stagingFolders(out), inUse);
    // Not vacuous: the OCR job was still running while the sweeps ran.
    QVERIFY(testsupport::stagingLockHeld(out));
    QCOMPARE(worker->state(), QProcess::Running);

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
    // What the worker says and writes; its command line and environment are
    // recorded where the window starts it (tst_batchwindow).
    const QString out = m_dir->filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    const QString newPassword = u"Zq7-新密码-unique-8841"_s;
    const QString ownerPassword = u"Ow9-所有者-unique-5512"_s;
    const QString source = m_dir->filePath(u"secret.pdf"_s);
    testsupport::writePdf(source, {.encryption = testsupport::Encryption::R6Aes256,
                                   .userPassword = "open-unique-1",
                                   .ownerPassword = ownerPassword.toStdString()});
    const auto run = [&](const QJsonObject& job) -> QByteArray {
        QProcess process;
        process.start(testsupport::workerExecutable(), {u"--worker"_s});
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

    QStringList written;
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

void TestHardening::flateBombStaysWithinMemory_data()
{
    QTest::addColumn<int>("kind"); // testsupport::BombKind
    QTest::addColumn<int>("mebibytes");
    QTest::newRow("image of zeros, 1 GiB") << int(testsupport::BombKind::Zeros) << 1024;
    QTest::newRow("content stream, 1 GiB") << int(testsupport::BombKind::Content) << 1024;
    QTest::newRow("photograph, 16384 x 16000") << int(testsupport::BombKind::Gradient) << 250;
}

// About a megabyte of Flate data that inflates a thousandfold, optimised and
// compressed with the peak memory measured: held whole, or copied as floats,
// it took gigabytes.
void TestHardening::flateBombStaysWithinMemory()
{
    QFETCH(int, kind);
    QFETCH(int, mebibytes);
    const QString out = m_dir->filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    const QString bomb = m_dir->filePath(u"bomb.pdf"_s);
    testsupport::writeFlateBomb(bomb, mebibytes, 0, testsupport::BombKind(kind));
    QVERIFY(QFileInfo(bomb).size() < 4 * 1024 * 1024);
    testsupport::SourceGuard guard;
    guard.add(bomb);

    for (const QString& operation : {u"optimize"_s, u"compress"_s}) {
        QProcess process;
        process.start(u"/usr/bin/time"_s,
                      {u"-v"_s, testsupport::workerExecutable(), u"--worker"_s});
        QVERIFY(process.waitForStarted());
        process.write(
            QJsonDocument(makeRequest(operation, {bomb}, out)).toJson(QJsonDocument::Compact) +
            '\n');
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished(300000));
        const QJsonObject result =
            QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        QVERIFY2(result.value(u"ok"_s).toBool(), qPrintable(result.value(u"error"_s).toString()));
        const QString measured = QString::fromUtf8(process.readAllStandardError());
        const QRegularExpressionMatch peak =
            QRegularExpression(u"Maximum resident set size \\(kbytes\\): (\\d+)"_s).match(measured);
        QVERIFY2(peak.hasMatch(), qPrintable(measured));
        const qint64 peakMiB = peak.captured(1).toLongLong() / 1024;
        qInfo("peak memory of %s: %lld MiB", qPrintable(operation), peakMiB);
        QVERIFY2(peakMiB < 600, qPrintable(QString::number(peakMiB)));
        // qpdf's check parses every content stream, for minutes on the content bomb.
        const QString output = result.value(u"output"_s).toString();
        QVERIFY(kind == int(testsupport::BombKind::Content)
                    ? testsupport::popplerPageCount(output) == 1
                    : testsupport::qpdfCheckClean(output));
    }
    QVERIFY(guard.unchanged());
}

// Ten to the sixteenth placements of one image: the compression gives up
// measuring, leaves the image as it is, and finishes.
void TestHardening::nestedFormsEndTheirWalk()
{
    const QString bomb = m_dir->filePath(u"forms.pdf"_s);
    testsupport::writeFlateBomb(bomb, 1, 16);
    testsupport::SourceGuard guard;
    guard.add(bomb);
    const testsupport::WorkerRun run =
        testsupport::runWorker(makeRequest(u"compress"_s, {bomb}, m_dir->path()), 300000);
    QVERIFY2(run.exitCode == 0, qPrintable(run.result.value(u"error"_s).toString()));
    QVERIFY(testsupport::qpdfCheckClean(run.result.value(u"output"_s).toString()));
    QVERIFY(guard.unchanged());
}

QTEST_MAIN(TestHardening)
#include "tst_hardening.moc"
