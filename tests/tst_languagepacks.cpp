// The language-pack dialog against a real HTTPS server on 127.0.0.1 that serves
// Debian's real model files; no request leaves this machine.
#include "gui/languagepacks/languagedialog.h"
#include "testsupport.h"

#include <QLabel>
#include <QNetworkReply>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace batch {

class TestLanguagePacks : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void downloadInstallsAndReplaces();
    void wrongContentKeepsInstalledModel();
    void redirectIsNotFollowed();
    void unknownLengthShowsBusyBar();
    void oversizedDownloadIsCutOff();
    void cancelAndCloseWhileDownloading();
    void importVerifiesWithTesseract();
    void unwritableFolders();
    void acceptingHandsBackTheDefaultFolder();
    void switchingKeepsWorkingLanguages();

private:
    QUrl base(const QString& mode) const
    {
        return QUrl(u"https://127.0.0.1:%1/%2/downloads/ocr/4.1.0/"_s.arg(m_port).arg(mode));
    }
    QString installed(const QString& code) const
    {
        return QDir(defaultModelsFolder()).filePath(code + u".traineddata"_s);
    }
    QString systemModel(const QString& code) const
    {
        return m_served.filePath(code + u".traineddata"_s);
    }
    bool download(LanguageDialog& dialog, int index, int timeoutMs = 60000);
    QString status(LanguageDialog& dialog) const { return dialog.m_statusLabel->text(); }

    QTemporaryDir m_data;
    QTemporaryDir m_served;
    QTemporaryDir m_certs;
    QProcess m_server;
    int m_port = 0;
};

void TestLanguagePacks::initTestCase()
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data.path()));
    QCoreApplication::setOrganizationName(u"Quorvin"_s);
    QCoreApplication::setApplicationName(u"QuorvinPDFBatch.cn"_s);
    QVERIFY(testsupport::fillModelsFolder(m_served.path()));

    const QString cert = m_certs.filePath(u"cert.pem"_s);
    const QString key = m_certs.filePath(u"key.pem"_s);
    QProcess openssl;
    openssl.start(u"openssl"_s,
                  {u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-keyout"_s,
                   key, u"-out"_s, cert, u"-days"_s, u"1"_s, u"-subj"_s, u"/CN=127.0.0.1"_s,
                   u"-addext"_s, u"subjectAltName=IP:127.0.0.1"_s});
    QVERIFY(openssl.waitForFinished(60000));
    QCOMPARE(openssl.exitCode(), 0);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(cert));
    QSslConfiguration::setDefaultConfiguration(tls);

    m_server.start(u"/usr/bin/python3"_s,
                   {QStringLiteral(QPB_TEST_SOURCE_DIR "/support/pack_server.py"), cert, key,
                    m_served.path()});
    QVERIFY(m_server.waitForReadyRead(30000));
    const QByteArray line = m_server.readLine().trimmed();
    QVERIFY2(line.startsWith("port "), line.constData());
    m_port = line.mid(5).toInt();
}

void TestLanguagePacks::cleanupTestCase()
{
    m_server.kill();
    m_server.waitForFinished();
}

void TestLanguagePacks::init()
{
    QDir(defaultModelsFolder()).removeRecursively();
}

bool TestLanguagePacks::download(LanguageDialog& dialog, int index, int timeoutMs)
{
    QTest::mouseClick(dialog.m_packs[index].downloadButton, Qt::LeftButton);
    return QTest::qWaitFor([&] { return dialog.m_reply == nullptr; }, timeoutMs);
}

void TestLanguagePacks::downloadInstallsAndReplaces()
{
    LanguageDialog dialog(nullptr, base(u"good"_s));
    QCOMPARE(dialog.m_packs[1].statusLabel->text(), u"未安装"_s);
    QVERIFY(!dialog.m_useButton->isEnabled());
    QTest::mouseClick(dialog.m_packs[1].downloadButton, Qt::LeftButton);
    QVERIFY(dialog.m_reply);
    QCOMPARE(status(dialog), u"正在下载英文…"_s);
    QVERIFY(!dialog.m_packs[0].downloadButton->isEnabled());
    QVERIFY(!dialog.m_useButton->isEnabled());
    QNetworkReply* running = dialog.m_reply;
    dialog.startDownload(0); // a second start while one runs is ignored
    QCOMPARE(dialog.m_reply, running);
    QVERIFY(QTest::qWaitFor([&] { return dialog.m_reply == nullptr; }, 60000));

    QCOMPARE(status(dialog), u"英文下载并安装完成，可离线识别。"_s);
    QCOMPARE(dialog.m_packs[1].statusLabel->text(), u"已安装"_s);
    QCOMPARE(dialog.m_packs[1].downloadButton->text(), u"重新下载"_s);
    QCOMPARE(testsupport::sha256File(installed(u"eng"_s)),
             testsupport::sha256File(systemModel(u"eng"_s)));
    QVERIFY(QFileInfo(QDir(defaultModelsFolder()).filePath(u"pdf.ttf"_s)).size() > 0);
    QVERIFY(dialog.m_useButton->isEnabled());
    QVERIFY(!dialog.m_progressBar->isVisible());

    // A second download replaces the file as a whole (a new file takes its place).
    struct stat before
    {};
    ::stat(QFile::encodeName(installed(u"eng"_s)).constData(), &before);
    QVERIFY(download(dialog, 1));
    struct stat after
    {};
    ::stat(QFile::encodeName(installed(u"eng"_s)).constData(), &after);
    QVERIFY(before.st_ino != after.st_ino);
    QCOMPARE(dialog.m_packs[1].statusLabel->text(), u"已安装"_s);
}

void TestLanguagePacks::wrongContentKeepsInstalledModel()
{
    QVERIFY(QDir().mkpath(defaultModelsFolder()));
    QVERIFY(QFile::copy(systemModel(u"chi_sim"_s), installed(u"chi_sim"_s)));
    const QByteArray hash = testsupport::sha256File(installed(u"chi_sim"_s));
    LanguageDialog dialog(nullptr, base(u"wrong"_s));
    QVERIFY(download(dialog, 0));
    QCOMPARE(status(dialog), u"语言包 SHA-256 校验失败，原有模型已保留。"_s);
    QCOMPARE(testsupport::sha256File(installed(u"chi_sim"_s)), hash);
    QVERIFY(!dialog.m_downloadFile); // the temporary file is gone
}

void TestLanguagePacks::redirectIsNotFollowed()
{
    LanguageDialog dialog(nullptr, base(u"redirect"_s));
    QVERIFY(download(dialog, 2));
    QVERIFY2(status(dialog).startsWith(u"下载失败，可重试或从官方页面手动下载后导入："_s),
             qPrintable(status(dialog)));
    QVERIFY(status(dialog).size() >
            QStringLiteral("下载失败，可重试或从官方页面手动下载后导入：").size());
    QVERIFY(!QFileInfo::exists(installed(u"chi_tra"_s)));
}

void TestLanguagePacks::unknownLengthShowsBusyBar()
{
    LanguageDialog dialog(nullptr, base(u"nolength"_s));
    QTest::mouseClick(dialog.m_packs[1].downloadButton, Qt::LeftButton);
    bool busy = false;
    connect(dialog.m_reply, &QNetworkReply::downloadProgress, this,
            [&] { busy = busy || dialog.m_progressBar->maximum() == 0; });
    QVERIFY(QTest::qWaitFor([&] { return dialog.m_reply == nullptr; }, 60000));
    QVERIFY(busy);
    QCOMPARE(status(dialog), u"英文下载并安装完成，可离线识别。"_s);
}

void TestLanguagePacks::oversizedDownloadIsCutOff()
{
    LanguageDialog dialog(nullptr, base(u"huge"_s));
    QVERIFY(download(dialog, 1, 120000));
    QCOMPARE(status(dialog), u"下载超过 64 MB 或临时文件写入失败。"_s);
    QVERIFY(!QFileInfo::exists(installed(u"eng"_s)));
    // The server learns of the abort long before it has sent its 200 MiB.
    QByteArray said;
    QVERIFY(QTest::qWaitFor(
        [&] {
            said += m_server.readAll();
            return said.contains("huge-sent ") && said.endsWith('\n');
        },
        30000));
    const QByteArray count = said.mid(said.indexOf("huge-sent ") + 10).split('\n').first();
    QVERIFY2(count.toLongLong() > 0 && count.toLongLong() < 120ll * 1024 * 1024, count.constData());
}

void TestLanguagePacks::cancelAndCloseWhileDownloading()
{
    LanguageDialog dialog(nullptr, base(u"slow"_s));
    dialog.show();
    QTest::mouseClick(dialog.m_packs[0].downloadButton, Qt::LeftButton);
    QVERIFY(dialog.m_cancelButton->isVisible());
    QTest::qWait(300);
    QTest::mouseClick(dialog.m_cancelButton, Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return dialog.m_reply == nullptr; }, 30000));
    QCOMPARE(status(dialog), u"下载已取消，原有语言包已保留。"_s);
    QVERIFY(!dialog.m_cancelButton->isVisible());

    // Closing during a download cancels it; the dialog stays until it has ended.
    QTest::mouseClick(dialog.m_packs[2].downloadButton, Qt::LeftButton);
    QTest::qWait(300);
    dialog.reject();
    QCOMPARE(status(dialog), u"正在取消下载，结束后可关闭。"_s);
    QVERIFY(dialog.isVisible());
    QVERIFY(QTest::qWaitFor([&] { return dialog.m_reply == nullptr; }, 30000));
    QCOMPARE(status(dialog), u"下载已取消，原有语言包已保留。"_s);
    QVERIFY(dialog.isVisible());
    dialog.reject();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(!QFileInfo::exists(installed(u"chi_sim"_s)));
    m_server.readAll(); // the slow mode's report
}

void TestLanguagePacks::importVerifiesWithTesseract()
{
    QVERIFY(QDir().mkpath(defaultModelsFolder()));
    QVERIFY(QFile::copy(systemModel(u"chi_sim"_s), installed(u"chi_sim"_s)));
    const QByteArray hash = testsupport::sha256File(installed(u"chi_sim"_s));
    QTemporaryDir files;
    const QString page = files.filePath(u"chi_sim.traineddata"_s);
    testsupport::writeBytes(page, "<!DOCTYPE html><html><body>Not Found</body></html>");

    LanguageDialog dialog;
    QString chosen;
    int asked = 0;
    dialog.setFileChooser([&](QWidget*, const QString& caption, const QString& filter) {
        ++asked;
        if (asked == 1) {
            [&] {
                QCOMPARE(caption, u"导入 chi_sim.traineddata"_s);
                QCOMPARE(filter, u"Tesseract 语言包 (*.traineddata)"_s);
            }();
        }
        return chosen;
    });
    // A cancelled dialog changes nothing, not even the status line.
    dialog.m_statusLabel->setText(u"before"_s);
    QTest::mouseClick(dialog.m_packs[0].importButton, Qt::LeftButton);
    QCOMPARE(status(dialog), u"before"_s);

    chosen = page;
    QTest::mouseClick(dialog.m_packs[0].importButton, Qt::LeftButton);
    QCOMPARE(
        status(dialog),
        u"Tesseract 无法加载此语言包。请下载真正的 .traineddata 文件，不能使用网页或压缩包。原有模型已保留。"_s);
    QCOMPARE(testsupport::sha256File(installed(u"chi_sim"_s)), hash);

    // A model is installed only under the name of the language it reads.
    chosen = systemModel(u"eng"_s);
    QTest::mouseClick(dialog.m_packs[0].importButton, Qt::LeftButton);
    QCOMPARE(status(dialog), u"此文件不是简体中文语言包（只含 0 个汉字）。原有模型已保留。"_s);
    QCOMPARE(testsupport::sha256File(installed(u"chi_sim"_s)), hash);
    for (const auto& [model, code, said] :
         std::initializer_list<std::tuple<QString, QString, QString>>{
             {u"chi_tra"_s, u"chi_sim"_s, u"此文件是繁体中文语言包，不是简体中文语言包。"_s},
             {u"chi_sim"_s, u"chi_tra"_s, u"此文件是简体中文语言包，不是繁体中文语言包。"_s},
             {u"chi_sim"_s, u"eng"_s, u"此文件是中文语言包，不是英文语言包。"_s},
             {u"chi_tra"_s, u"chi_tra"_s, QString()}}) {
        QString refusal;
        QCOMPARE(verifyAndInstallPack(systemModel(model), code, defaultModelsFolder(), refusal),
                 said.isEmpty());
        QCOMPARE(refusal, said.isEmpty() ? QString() : said + u"原有模型已保留。"_s);
    }

    // Size limits, checked before Tesseract sees anything.
    QString error;
    const QString empty = files.filePath(u"empty"_s);
    testsupport::writeBytes(empty, QByteArray());
    QVERIFY(!verifyAndInstallPack(empty, u"eng"_s, defaultModelsFolder(), error));
    QCOMPARE(error, u"语言包不可读、为空或超过 64 MB。"_s);
    const QString big = files.filePath(u"big"_s);
    QFile bigFile(big);
    QVERIFY(bigFile.open(QIODevice::WriteOnly) && bigFile.resize(67108864 + 1));
    bigFile.close();
    QVERIFY(!verifyAndInstallPack(big, u"eng"_s, defaultModelsFolder(), error));
    QCOMPARE(error, u"语言包不可读、为空或超过 64 MB。"_s);
    QVERIFY(bigFile.resize(67108864));
    QVERIFY(!verifyAndInstallPack(big, u"eng"_s, defaultModelsFolder(), error));
    QVERIFY(error.startsWith(u"Tesseract 无法加载此语言包。"_s));
    QVERIFY(!verifyAndInstallPack(systemModel(u"eng"_s), u"deu"_s, defaultModelsFolder(), error));
    QCOMPARE(error, u"不支持的语言包名称。"_s);
}

void TestLanguagePacks::unwritableFolders()
{
    // Where the models folder should be, a file is in the way: it cannot be created.
    QTemporaryDir blocked;
    testsupport::writeBytes(blocked.filePath(u"Quorvin"_s), "in the way");
    qputenv("XDG_DATA_HOME", QFile::encodeName(blocked.path()));
    {
        LanguageDialog dialog;
        QCOMPARE(status(dialog), u"内置 PDF 字体保存失败，请检查语言包目录权限。"_s);
        QVERIFY(!dialog.m_useButton->isEnabled());
        QString error;
        QVERIFY(
            !verifyAndInstallPack(systemModel(u"eng"_s), u"eng"_s, defaultModelsFolder(), error));
        QCOMPARE(error, u"无法创建语言包目录。"_s);
    }
    // A pdf.ttf that cannot be written (a folder holds its name).
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data.path()));
    QVERIFY(QDir().mkpath(QDir(defaultModelsFolder()).filePath(u"pdf.ttf"_s)));
    QVERIFY(QFile::copy(systemModel(u"eng"_s), installed(u"eng"_s)));
    LanguageDialog dialog;
    QCOMPARE(status(dialog), u"内置 PDF 字体保存失败，请检查语言包目录权限。"_s);
    QCOMPARE(dialog.m_packs[1].statusLabel->text(), u"已安装"_s);
    QVERIFY(!dialog.m_useButton->isEnabled());
    dialog.setFileChooser(
        [&](QWidget*, const QString&, const QString&) { return systemModel(u"eng"_s); });
    QTest::mouseClick(dialog.m_packs[1].importButton, Qt::LeftButton);
    QCOMPARE(status(dialog), u"语言包已安装，但内置 PDF 字体未能保存。请检查安装目录权限。"_s);
}

void TestLanguagePacks::acceptingHandsBackTheDefaultFolder()
{
    QVERIFY(QDir().mkpath(defaultModelsFolder()));
    QVERIFY(QFile::copy(systemModel(u"eng"_s), installed(u"eng"_s)));
    const auto answer = [](const char* button) {
        QTimer::singleShot(100, [button] {
            auto* dialog = qobject_cast<LanguageDialog*>(QApplication::activeModalWidget());
            if (dialog)
                dialog->findChild<QPushButton*>(QString::fromLatin1(button))->click();
        });
    };
    answer("ocrUseModels");
    QCOMPARE(chooseLanguagePacks(nullptr), defaultModelsFolder());
    // Escape closes it without a choice.
    QTimer::singleShot(100, [] {
        if (QWidget* dialog = QApplication::activeModalWidget())
            QTest::keyClick(dialog, Qt::Key_Escape);
    });
    QCOMPARE(chooseLanguagePacks(nullptr), QString());

    QUrl opened;
    LanguageDialog dialog;
    dialog.setUrlOpener([&](const QUrl& url) { opened = url; });
    for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
        if (button->text() == u"官方手动下载"_s)
            button->click();
    }
    QCOMPARE(opened.scheme(), u"https"_s);
    QVERIFY(opened.path().contains(u"tessdata_fast"_s));
    QVERIFY(opened.path().endsWith(u"4.1.0"_s));
}

void TestLanguagePacks::switchingKeepsWorkingLanguages()
{
    // Debian's models are in use: English and Simplified Chinese, no Traditional.
    QTemporaryDir system;
    for (const QString& name :
         {u"eng.traineddata"_s, u"chi_sim.traineddata"_s, u"osd.traineddata"_s})
        QVERIFY(QFile::copy(m_served.filePath(name), system.filePath(name)));
    LanguageDialog dialog;
    dialog.setFolderInUse(system.path());
    QCOMPARE(dialog.m_packs[0].statusLabel->text(), u"当前文件夹已提供"_s);
    QCOMPARE(dialog.m_packs[1].statusLabel->text(), u"当前文件夹已提供"_s);
    QCOMPARE(dialog.m_packs[2].statusLabel->text(), u"未安装"_s);
    QVERIFY(dialog.m_useButton->isEnabled());

    // Only chi_sim is imported; switching still reads "简体中文 + 英文".
    dialog.setFileChooser(
        [&](QWidget*, const QString&, const QString&) { return systemModel(u"chi_sim"_s); });
    QTest::mouseClick(dialog.m_packs[0].importButton, Qt::LeftButton);
    // Installed, and said not to be used until the user switches.
    QCOMPARE(dialog.m_packs[0].statusLabel->text(), u"已安装，未使用"_s);
    QVERIFY(
        dialog.m_statusLabel->text().endsWith(u"点击“使用这些语言包”后，文字识别才会使用它。"_s));
    QVERIFY(!QFileInfo::exists(installed(u"eng"_s)));
    QTest::mouseClick(dialog.m_useButton, Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(testsupport::sha256File(installed(u"eng"_s)),
             testsupport::sha256File(system.filePath(u"eng.traineddata"_s)));
    QVERIFY(QFileInfo::exists(installed(u"osd"_s)));

    QTemporaryDir out;
    const QString scan = out.filePath(u"扫描.pdf"_s);
    testsupport::writeDrawnPdf(scan,
                               {{.lines = {u"语言包切换后仍可识别 English text"_s},
                                 .family = u"Noto Sans CJK SC"_s,
                                 .pointSize = 20}},
                               200);
    const testsupport::WorkerRun run =
        testsupport::runWorker(testsupport::makeRequest(u"ocr"_s, {scan}, out.path(),
                                                        {{u"ocrLanguage"_s, u"chi_sim+eng"_s},
                                                         {u"ocrDpi"_s, 200},
                                                         {u"ocrModels"_s, defaultModelsFolder()}}));
    QVERIFY2(run.exitCode == 0, qPrintable(run.result.value(u"error"_s).toString()));
}

} // namespace batch

QTEST_MAIN(batch::TestLanguagePacks)
#include "tst_languagepacks.moc"
