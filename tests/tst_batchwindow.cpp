// The main window driven through its real widgets, with real worker processes.
#include "gui/batchwindow.h"
#include "gui/handover.h"
#include "gui/messagebox.h"
#include "gui/panels/operationpanel.h"
#include "gui/preview.h"
#include "protocol/catalogue.h"
#include "protocol/request.h"
#include "runner/sources.h"
#include "testsupport.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSettings>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Every box the window asked for during the whole run: each is shown for
// real at the end, on a small screen, to see that none cuts its text.
struct ShownBox
{
    QString title;
    QString text;
    QStringList buttons;
};
QList<ShownBox>& everyBoxShown()
{
    static QList<ShownBox> shown;
    return shown;
}

// Answers dialogs from queues and records every message and opened address.
struct FakePrompter : batch::Prompter
{
    QStringList fileAnswers;
    QStringList passwordAnswers; // a cancelled dialog when none is left
    QStringList folderAnswers;
    QStringList saveAnswers;
    bool pressAction = false;
    bool confirmAnswer = false;
    QStringList messages; // "title|text"
    QList<QUrl> opened;

    QString openedAt; // where the last file dialog opened
    QStringList openFileNames(QWidget*, const QString&, const QString&,
                              const QString& folder) override
    {
        openedAt = folder;
        return fileAnswers;
    }
    QString existingDirectory(QWidget*, const QString&, const QString&) override
    {
        return folderAnswers.isEmpty() ? QString() : folderAnswers.takeFirst();
    }
    QString chosenFilter; // what the dialog says was selected; the first when empty
    QString saveFileName(QWidget*, const QString&, const QString&, const QString& filters,
                         QString* chosen) override
    {
        if (chosen)
            *chosen = chosenFilter.isEmpty() ? filters.section(u";;"_s, 0, 0) : chosenFilter;
        return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
    }
    void message(QWidget*, QMessageBox::Icon, const QString& title, const QString& text) override
    {
        messages << title + u'|' + text;
        everyBoxShown() << ShownBox{title, text, {u"复制"_s, u"确定"_s}};
    }
    bool messageWithAction(QWidget*, const QString& title, const QString& text,
                           const QString& action) override
    {
        messages << title;
        everyBoxShown() << ShownBox{title, text, {u"复制"_s, action, u"确定"_s}};
        return pressAction;
    }
    bool confirm(QWidget*, const QString& title, const QString& text, const QString& action,
                 const QString& back) override
    {
        messages << title + u'|' + action;
        everyBoxShown() << ShownBox{title, text, {action, back}};
        return confirmAnswer;
    }
    int chooseAnswer = 0;
    bool withdrawn = false;
    void withdraw() override { withdrawn = true; }
    std::function<void()> whileChoosing; // what happens while the question is open
    int choose(QWidget*, const QString& title, const QString& text,
               const QStringList& answers) override
    {
        messages << title + u'|' + answers.join(u'/');
        everyBoxShown() << ShownBox{title, text, answers};
        withdrawn = false;
        if (whileChoosing)
            whileChoosing();
        return withdrawn ? -1 : chooseAnswer;
    }
    std::optional<QString> askPassword(QWidget*, const QString& title, const QString&) override
    {
        messages << title;
        if (passwordAnswers.isEmpty())
            return std::nullopt;
        return passwordAnswers.takeFirst();
    }
    bool openWorks = true;
    bool openUrl(const QUrl& url) override
    {
        opened << url;
        return openWorks;
    }
};

} // namespace

namespace batch {

class TestBatchWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startsWithDefaults();
    void addsAndRefusesFiles();
    void capsTheListAt200();
    void duplicatesThroughLinks();
    void foldersAndDrops();
    void secondStartHandsOverItsFiles();
    void removeClearAndMove();
    void listBehavesAsFileListsDo();
    void namesOfResults();
    void previewAndPageRanges();
    void panelPerOperation_data();
    void panelPerOperation();
    void everyOptionMarksResults();
    void keptResultsAndTheRerunQuestion_data();
    void keptResultsAndTheRerunQuestion();
    void startChecks();
    void batchWithOneFailureAndRetry();
    void nothingToDoIsSkipped();
    void passwordPerRow();
    void mergeMarksEveryEntry();
    void settingsReachTheOutput_data();
    void settingsReachTheOutput();
    void compressPanelBuildsTheRequest();
    void pageToolPanelsBuildTheRequest_data();
    void pageToolPanelsBuildTheRequest();
    void stopAfterCurrentJob();
    void watchingAFolder_data();
    void watchingAFolder();
    void severalAtOnceMatchOneAtATime();
    void keyboard();
    void dialogsCloseWithEscape();
    void failuresToOpenAreSaid();
    void checksBeforeRunning();
    void closeWhileTheBatchEnds_data();
    void closeWhileTheBatchEnds();
    void endCurrentFileNow_data();
    void endCurrentFileNow();
    void progressLines();
    void outputKindReachesTheWorker();
    void reportContentAndRefusals();
    void settingsAndHelp();
    void firstStartFitsTheScreen_data();
    void firstStartFitsTheScreen();
    void passwordsStayOutOfFiles();
    void resultReadBeforeTheEndStands_data();
    void resultReadBeforeTheEndStands();
    void everyBoxFitsASmallScreen(); // last: it shows what the others asked for

private:
    QString pdf(const QString& name, int pages = 1);
    // An AES-256 document opened by `password`, owned by `password` + "-owner".
    QString lockedPdf(const QString& name, const std::string& password, int pages = 2);
    void setOperation(const QString& id);
    // A field of an operation's panel, found by its object name.
    template <typename T>
    static T* field(BatchWindow& window, const QString& id, const QString& name);
    void markOutcomes();
    bool waitIdle(int timeoutMs = 120000);
    // Until `count` rows have ended in `state`.
    static bool waitForRows(BatchWindow* window, qsizetype count, const QString& state);

    QTemporaryDir m_config;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<BatchWindow> m_window;
    FakePrompter* m_prompter = nullptr;
};

void TestBatchWindow::initTestCase()
{
    // Settings and standard locations of this test stay inside temporary folders.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.filePath(u"config"_s)));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_config.filePath(u"data"_s)));
    qputenv("HOME", QFile::encodeName(m_config.path()));
    QCoreApplication::setOrganizationName(u"Quorvin"_s);
    QCoreApplication::setApplicationName(u"QuorvinPDFBatch.cn"_s);
    qApp->setStyleSheet(applicationStyleSheet());
    // Qt's standard buttons and dialogs speak Chinese, as in the program.
    QVERIFY(installQtChinese(*qApp));
    QMessageBox box(QMessageBox::Information, u"标题"_s, u"文本"_s,
                    QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(box.button(QMessageBox::Ok)->text(), u"确定"_s);
    QCOMPARE(box.button(QMessageBox::Cancel)->text(), u"取消"_s);
}

void TestBatchWindow::init()
{
    QSettings().clear(); // each test starts as a first run
    m_dir = std::make_unique<QTemporaryDir>();
    m_window = std::make_unique<BatchWindow>();
    auto prompter = std::make_unique<FakePrompter>();
    m_prompter = prompter.get();
    m_window->setPrompter(std::move(prompter));
    m_window->setWorkerProgram(testsupport::workerExecutable());
    m_window->m_outputEdit->setText(m_dir->filePath(u"out"_s));
    m_window->show();
}

void TestBatchWindow::cleanup()
{
    QVERIFY(waitIdle());
    m_window.reset();
}

QString TestBatchWindow::pdf(const QString& name, int pages)
{
    const QString path = m_dir->filePath(name);
    testsupport::writePdf(path, {.pages = pages, .marker = QFileInfo(name).baseName()});
    return path;
}

template <typename T>
T* TestBatchWindow::field(BatchWindow& window, const QString& id, const QString& name)
{
    const auto kind =
        std::find_if(operations().begin(), operations().end(),
                     [&id](const Operation& operation) { return operation.id == id; });
    T* found = window.m_panels.at(kind - operations().begin())->template findChild<T*>(name);
    if (!found)
        qFatal("no field %s in the panel of %s", qPrintable(name), qPrintable(id));
    return found;
}

QString TestBatchWindow::lockedPdf(const QString& name, const std::string& password, int pages)
{
    const QString path = m_dir->filePath(name);
    testsupport::writePdf(path, {.pages = pages,
                                 .marker = QFileInfo(name).baseName(),
                                 .encryption = testsupport::Encryption::R6Aes256,
                                 .userPassword = password,
                                 .ownerPassword = password + "-owner"});
    return path;
}

void TestBatchWindow::setOperation(const QString& id)
{
    const auto found =
        std::find_if(operations().begin(), operations().end(),
                     [&id](const Operation& operation) { return operation.id == id; });
    m_window->m_navigation->setCurrentRow(static_cast<int>(found - operations().begin()));
}

void TestBatchWindow::markOutcomes()
{
    for (BatchItem& item : m_window->m_items) {
        item.succeeded = true;
        item.stale = false;
        item.state = u"处理完成"_s;
        item.output = item.input;
    }
    m_window->refresh();
}

bool TestBatchWindow::waitIdle(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (m_window && m_window->m_running && timer.elapsed() < timeoutMs)
        QTest::qWait(20);
    return !m_window || !m_window->m_running;
}

void TestBatchWindow::startsWithDefaults()
{
    BatchWindow& w = *m_window;
    QCOMPARE(w.windowTitle(), u"Quorvin PDF 批量处理"_s);
    QCOMPARE(w.m_navigation->count(), 12);
    QCOMPARE(w.m_navigation->item(0)->text(), u"合并 PDF"_s);
    QCOMPARE(w.m_navigation->item(11)->text(), u"PDF 转图片"_s);
    QCOMPARE(w.m_titleLabel->text(), u"合并 PDF"_s);
    QCOMPARE(w.m_viewStack->currentIndex(), 0);
    QCOMPARE(w.m_statusLine->text(), u"0 份文件 · 成功 0 · 失败 0 · 待处理 0"_s);
    for (QPushButton* button :
         {w.m_startButton, w.m_retryButton, w.m_exportButton, w.m_removeButton, w.m_upButton,
          w.m_downButton, w.m_openResultButton})
        QVERIFY(!button->isEnabled());
    QVERIFY(!w.m_stopButton->isVisible());
    QCOMPARE(w.m_startButton->objectName(), u"primary"_s);
    QVERIFY(field<QComboBox>(w, u"rotate"_s, u"degrees"_s)->itemData(2) == 270);
    QCOMPARE(field<QComboBox>(w, u"ocr"_s, u"ocrDpi"_s)->currentText(), u"300 DPI"_s);
    QCOMPARE(field<QComboBox>(w, u"ocr"_s, u"ocrLanguage"_s)->currentData().toString(),
             u"chi_sim+eng"_s);
    QVERIFY(field<QCheckBox>(w, u"ocr"_s, u"keepText"_s)->isChecked());

    // Without stored settings: the documented defaults.
    BatchWindow fresh;
    QCOMPARE(fresh.m_outputEdit->text(),
             QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
                 .filePath(u"Quorvin PDF/批量处理"_s));
    QVERIFY(!field<QLineEdit>(fresh, u"ocr"_s, u"ocrModels"_s)->text().isEmpty());
    QVERIFY(
        applicationStyleSheet().contains(u"QLabel#title { font-size:26px; font-weight:650; }"_s));
    QVERIFY(applicationStyleSheet().startsWith(u'\n'));
}

void TestBatchWindow::addsAndRefusesFiles()
{
    BatchWindow& w = *m_window;
    const QString upper = pdf(u"REPORT.PDF"_s);
    const QString mixed = pdf(u"notes.Pdf"_s);
    const QString backup = pdf(u"report.pdf.bak"_s);
    const QString bare = pdf(u"report"_s);
    testsupport::writeBytes(m_dir->filePath(u"empty.pdf"_s), QByteArray());
    testsupport::writeBytes(m_dir->filePath(u"fake.pdf"_s), "plain text, not a PDF\n");
    w.addPaths({upper, mixed, backup, bare, m_dir->filePath(u"empty.pdf"_s),
                m_dir->filePath(u"gone.pdf"_s), m_dir->filePath(u"fake.pdf"_s)});
    QCOMPARE(w.m_items.size(), 2);
    QCOMPARE(w.m_items.at(0).input, QFileInfo(upper).canonicalFilePath());
    QCOMPARE(w.m_items.at(0).state, u"等待处理"_s);
    // Each refused file with its own reason.
    QCOMPARE(m_prompter->messages,
             QStringList{u"部分文件未添加|以下文件未添加：\n"
                         u"report.pdf.bak：不是 PDF 文件\nreport：不是 PDF 文件\n"
                         u"empty.pdf：文件为空\ngone.pdf：文件不存在或无法读取\n"
                         u"fake.pdf：不是 PDF 文件"_s});
    QCOMPARE(w.m_viewStack->currentIndex(), 1);
    QCOMPARE(w.m_fileTable->rowCount(), 2);
    QCOMPARE(w.m_fileTable->item(0, 0)->text(), u"REPORT.PDF"_s);
    QCOMPARE(w.m_fileTable->item(0, 3)->text(), u"—"_s);
    QCOMPARE(w.m_statusLine->text(), u"2 份文件 · 成功 0 · 失败 0 · 待处理 2"_s);

    // The size limit is inclusive.
    m_prompter->messages.clear();
    testsupport::writeSparsePdf(m_dir->filePath(u"max.pdf"_s), 536870912);
    testsupport::writeSparsePdf(m_dir->filePath(u"over.pdf"_s), 536870913);
    w.addPaths({m_dir->filePath(u"max.pdf"_s), m_dir->filePath(u"over.pdf"_s)});
    QCOMPARE(w.m_items.size(), 3);
    QCOMPARE(m_prompter->messages.size(), 1);
    QVERIFY(m_prompter->messages.first().endsWith(u"\nover.pdf：超过 512 MB"_s));

    // Adding the same file again changes nothing, and says so.
    m_prompter->messages.clear();
    w.addPaths({upper, m_dir->path() + u"/./REPORT.PDF"_s});
    QCOMPARE(w.m_items.size(), 3);
    QCOMPARE(m_prompter->messages,
             QStringList{u"部分文件未添加|以下文件未添加：\nREPORT.PDF：已在列表中\n"
                         u"REPORT.PDF：已在列表中"_s});
}

void TestBatchWindow::capsTheListAt200()
{
    BatchWindow& w = *m_window;
    const QByteArray bytes = testsupport::makePdf({});
    QStringList paths;
    for (int i = 0; i < 210; ++i) {
        const QString path = m_dir->filePath(u"f%1.pdf"_s.arg(i, 3, 10, QLatin1Char('0')));
        testsupport::writeBytes(path, bytes);
        paths << path;
    }
    w.addPaths(paths.mid(0, 195));
    QCOMPARE(w.m_items.size(), 195);
    w.addPaths(paths.mid(195, 10));
    QCOMPARE(w.m_items.size(), 200);
    QCOMPARE(m_prompter->messages.last(),
             u"部分文件未添加|以下文件未添加：\n"
             u"f200.pdf：超过单批 200 份上限\nf201.pdf：超过单批 200 份上限\n"
             u"f202.pdf：超过单批 200 份上限\nf203.pdf：超过单批 200 份上限\n"
             u"f204.pdf：超过单批 200 份上限"_s);
    // A full list refuses new files and names duplicates; at most ten names, then a count.
    m_prompter->messages.clear();
    QStringList more = paths.mid(0, 5);
    for (int i = 0; i < 15; ++i) {
        const QString path = m_dir->filePath(u"g%1.pdf"_s.arg(i, 2, 10, QLatin1Char('0')));
        testsupport::writeBytes(path, bytes);
        more << path;
    }
    w.addPaths(more);
    QCOMPARE(w.m_items.size(), 200);
    QCOMPARE(m_prompter->messages.size(), 1);
    const QStringList lines = m_prompter->messages.first().split(u'\n');
    QCOMPARE(lines.size(), 12);
    QCOMPARE(lines.at(1), u"f000.pdf：已在列表中"_s);
    QCOMPARE(lines.at(10), u"g04.pdf：超过单批 200 份上限"_s);
    QCOMPARE(lines.at(11), u"另有 10 个文件未添加。"_s);
}

void TestBatchWindow::duplicatesThroughLinks()
{
    BatchWindow& w = *m_window;
    const QString file = pdf(u"a.pdf"_s);
    QVERIFY(QFile::link(file, m_dir->filePath(u"link.pdf"_s)));
    QVERIFY(QDir(m_dir->path()).mkdir(u"sub"_s));
    w.addPaths({file, m_dir->filePath(u"link.pdf"_s), m_dir->filePath(u"sub/../a.pdf"_s)});
    QCOMPARE(w.m_items.size(), 1);
    QCOMPARE(m_prompter->messages,
             QStringList{u"部分文件未添加|以下文件未添加：\nlink.pdf：已在列表中\n"
                         u"a.pdf：已在列表中"_s});
    // On a case-sensitive file system a.pdf and A.pdf are two documents.
    const QString other = pdf(u"A.pdf"_s);
    w.addPaths({other});
    QCOMPARE(w.m_items.size(), 2);
}

void TestBatchWindow::foldersAndDrops()
{
    BatchWindow& w = *m_window;
    QDir folder(m_dir->path());
    QVERIFY(folder.mkpath(u"in/deeper"_s));
    testsupport::writePdf(m_dir->filePath(u"in/b.pdf"_s), {});
    testsupport::writePdf(m_dir->filePath(u"in/a.PDF"_s), {});
    testsupport::writePdf(m_dir->filePath(u"in/deeper/c.pdf"_s), {});
    testsupport::writeBytes(m_dir->filePath(u"in/notes.txt"_s), "x");
    m_prompter->folderAnswers = {m_dir->filePath(u"in"_s)};
    QTest::mouseClick(w.m_addFolderButton, Qt::LeftButton);
    QCOMPARE(w.m_items.size(), 2);
    QCOMPARE(QFileInfo(w.m_items.at(0).input).fileName(), u"a.PDF"_s);
    QCOMPARE(QFileInfo(w.m_items.at(1).input).fileName(), u"b.pdf"_s);
    QVERIFY(m_prompter->messages.isEmpty());

    // A drop: local files are added, remote addresses ignored, missing files named.
    const QString dropped = pdf(u"dropped.pdf"_s);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(dropped), QUrl(u"https://example.org/x.pdf"_s),
                  QUrl::fromLocalFile(m_dir->filePath(u"missing.pdf"_s))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &drop);
    QCOMPARE(w.m_items.size(), 3);
    QCOMPARE(m_prompter->messages.size(), 1);
    QVERIFY(m_prompter->messages.first().endsWith(u"\nmissing.pdf：文件不存在或无法读取"_s));

    // While running, drops are refused and nothing is added.
    w.m_running = true;
    QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    refused.setAccepted(false);
    QApplication::sendEvent(&w, &refused);
    QVERIFY(!refused.isAccepted());
    w.addPaths({pdf(u"late.pdf"_s)});
    QCOMPARE(w.m_items.size(), 3);
    w.m_running = false;
}

void TestBatchWindow::secondStartHandsOverItsFiles()
{
    BatchWindow& w = *m_window;
    const QString handed = pdf(u"发送 到.pdf"_s);
    QVERIFY(!batch::WindowHandOver::handToOpenWindow({handed})); // no window listens yet
    const batch::WindowHandOver handOver(
        [&w](const QStringList& files) { w.receiveHandedFiles(files); });

    // The real program, started with a file as Send To starts it, hands the
    // file over and ends, without a window of its own.
    QProcess second;
    second.setWorkingDirectory(m_dir->path());
    second.start(testsupport::workerExecutable(), {QFileInfo(handed).fileName()});
    QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 60000);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(w.m_items.size(), 1);
    QCOMPARE(w.m_items.first().input, QFileInfo(handed).absoluteFilePath());
    QCOMPARE(w.m_items.first().state, u"等待处理"_s);
    QVERIFY(!w.m_running); // nothing starts on its own
    QVERIFY(m_prompter->messages.isEmpty());

    // During a batch nothing is added, and the window says what was not.
    w.m_running = true;
    w.receiveHandedFiles({pdf(u"later.pdf"_s)});
    w.m_running = false;
    QCOMPARE(w.m_items.size(), 1);
    QCOMPARE(m_prompter->messages.size(), 1);
    QVERIFY(m_prompter->messages.first().endsWith(u"：\nlater.pdf"_s));
}

void TestBatchWindow::listBehavesAsFileListsDo()
{
    BatchWindow& w = *m_window;
    setOperation(u"merge"_s);
    w.addPaths({pdf(u"a.pdf"_s), pdf(u"b10.pdf"_s, 3), pdf(u"b9.pdf"_s),
                lockedPdf(u"c-locked.pdf"_s, "pw")});
    const auto order = [&w] {
        QStringList names;
        for (const QString& input : w.buildRequest(w.allRows()).inputs)
            names << QFileInfo(input).completeBaseName();
        return names.join(u' ');
    };
    // Pages and protection arrive from the background; a locked file's pages
    // once its password is known.
    QTRY_VERIFY(std::all_of(w.m_items.begin(), w.m_items.end(),
                            [](const BatchItem& item) { return item.factsRead; }));
    QVERIFY(w.m_fileTable->item(1, 1)->text().startsWith(u"3 页 · "_s));
    QVERIFY(w.m_items.at(3).encrypted && !w.m_items.at(0).encrypted);
    QVERIFY(!w.m_fileTable->item(3, 1)->text().contains(u"页"_s));
    w.m_fileTable->selectRow(3);
    m_prompter->passwordAnswers = {u"pw"_s};
    w.setRowPassword(w.selectedRows());
    QTRY_COMPARE(w.m_items.at(3).pages, 2);

    // The locked file dragged to the top: the merge takes it first.
    const QModelIndexList dragged = w.m_fileTable->selectionModel()->selectedIndexes();
    std::unique_ptr<QMimeData> data(w.m_fileTable->model()->mimeData(dragged));
    QDropEvent drop(
        QPointF(w.m_fileTable->visualRect(w.m_fileTable->model()->index(0, 0)).topLeft() +
                QPoint(4, 2)),
        Qt::MoveAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    // Qt delivers a drop only to the target of a real drag; the list's filter
    // is handed it as Qt would hand it.
    QVERIFY(w.eventFilter(w.m_fileTable->viewport(), &drop));
    QCOMPARE(order(), u"c-locked a b10 b9"_s);

    // Sorting changes the merge order only when the user agrees; names sort
    // as people count.
    QHeaderView* header = w.m_fileTable->horizontalHeader();
    const auto clickHeader = [&](int column) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(column) + 5, 5));
    };
    m_prompter->confirmAnswer = false;
    clickHeader(0);
    QCOMPARE(m_prompter->messages.takeLast(), u"改变合并顺序|排序"_s);
    QCOMPARE(order(), u"c-locked a b10 b9"_s);
    m_prompter->confirmAnswer = true;
    clickHeader(0);
    QCOMPARE(order(), u"a b9 b10 c-locked"_s);
    clickHeader(0);
    QCOMPARE(order(), u"c-locked b10 b9 a"_s);

    // Ctrl+A, then Delete.
    w.m_fileTable->setFocus();
    QTest::keyClick(w.m_fileTable, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(w.selectedRows().size(), 4);
    QTest::keyClick(w.m_fileTable, Qt::Key_Delete);
    QVERIFY(w.m_items.isEmpty());
}

void TestBatchWindow::previewAndPageRanges()
{
    BatchWindow& w = *m_window;
    setOperation(u"rotate"_s);
    w.addPaths({pdf(u"five.pdf"_s, 5), lockedPdf(u"locked.pdf"_s, "pw")});
    w.m_fileTable->selectRow(0);
    PagePreview& preview = *w.m_preview;
    QTRY_COMPARE(preview.pageCount(), 5);
    QListWidget* pages = preview.pageList();
    auto* range = w.currentPanel()->findChild<QLineEdit*>(u"pages"_s);

    // Thumbnails clicked choose the range; a range typed marks the thumbnails.
    const auto click = [pages](int page, Qt::KeyboardModifiers modifiers) {
        QTest::mouseClick(pages->viewport(), Qt::LeftButton, modifiers,
                          pages->visualItemRect(pages->item(page - 1)).center());
    };
    click(2, Qt::NoModifier);
    click(4, Qt::ShiftModifier);
    click(3, Qt::ControlModifier);
    QCOMPARE(range->text(), u"2,4"_s);
    range->setText(u"1-2,5"_s);
    QList<int> marked;
    for (const QListWidgetItem* item : pages->selectedItems())
        marked << item->data(Qt::UserRole).toInt();
    std::sort(marked.begin(), marked.end());
    QCOMPARE(marked, (QList<int>{1, 2, 5}));
    // The pages a rotation turns are shown turned: portrait pages lie on their side.
    const auto landscape = [pages](int page) {
        const QSize size = pages->item(page - 1)->icon().availableSizes().value(0);
        return size.width() > size.height();
    };
    QVERIFY(landscape(1) && !landscape(3) && landscape(5));

    // A split's clicks say where its parts end; then the group stands aside.
    setOperation(u"split"_s);
    QVERIFY(pages->selectedItems().isEmpty());
    click(2, Qt::NoModifier);
    click(4, Qt::ControlModifier);
    QCOMPARE(w.currentPanel()->findChild<QLineEdit*>(u"pages"_s)->text(), u"2,4"_s);
    QVERIFY(!field<QSpinBox>(w, u"split"_s, u"group"_s)->isEnabled());

    // A protected file shows its pages once its password is known.
    w.m_fileTable->selectRow(1);
    QTRY_VERIFY(preview.findChild<QLabel*>(u"muted"_s)->text().contains(u"此文件有密码"_s));
    QCOMPARE(preview.pageCount(), 0);
    w.m_sourcePasswordEdit->setText(u"pw"_s);
    QTRY_COMPARE(preview.pageCount(), 2);
    // A file seen before shows at once, from what was kept.
    w.m_fileTable->selectRow(0);
    QCOMPARE(preview.pageCount(), 5);

    // The panel hides, and stays hidden at the next start.
    QTest::mouseClick(w.m_previewButton, Qt::LeftButton);
    QVERIFY(!preview.isVisible());
    QVERIFY(!QSettings().value(u"window/preview"_s).toBool());

    // With the panel open and recognition's many settings, a 1366×768
    // screen keeps eight rows of the list in sight.
    QTest::mouseClick(w.m_previewButton, Qt::LeftButton);
    setOperation(u"ocr"_s);
    w.resize(1366, 728 - 36);
    QTRY_VERIFY(w.m_fileTable->viewport()->height() >=
                8 * w.m_fileTable->verticalHeader()->defaultSectionSize());
}

void TestBatchWindow::namesOfResults()
{
    // A merge's file name typed as it is; each operation's pattern kept apart.
    BatchWindow& w = *m_window;
    w.addPaths({pdf(u"a.pdf"_s), pdf(u"b.pdf"_s)});
    // operation, the field's label, what is typed, the row looked at, its result
    const QList<std::tuple<QString, QString, QString, int, QString>> cases{
        {u"merge"_s, u"文件名"_s, u"第三季度 合并"_s, 0, u"第三季度 合并.pdf"_s},
        {u"rotate"_s, u"命名"_s, u"{n}-{name}-{op}"_s, 1, u"2-b-旋转.pdf"_s}};
    for (const auto& [operation, label, typed, row, result] : cases) {
        setOperation(operation);
        QCOMPARE(w.m_nameLabel->text(), label);
        QVERIFY(w.m_nameEdit->text().isEmpty());
        w.m_nameEdit->setText(typed);
        QTest::mouseClick(w.m_startButton, Qt::LeftButton);
        QVERIFY(waitIdle());
        QCOMPARE(QFileInfo(w.m_items.at(row).output).fileName(), result);
    }
    setOperation(u"merge"_s);
    QCOMPARE(w.m_nameEdit->text(), u"第三季度 合并"_s);

    // A name no system takes is refused before anything starts.
    w.m_nameEdit->setText(u"季度/合并"_s);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QCOMPARE(m_prompter->messages.takeLast(),
             u"检查文件名|文件名不能包含 \\ / : * ? \" < > | 等字符。"_s);
    QVERIFY(!w.m_running);
}

void TestBatchWindow::removeClearAndMove()
{
    BatchWindow& w = *m_window;
    setOperation(u"rotate"_s);
    w.addPaths({pdf(u"1.pdf"_s), pdf(u"2.pdf"_s), pdf(u"3.pdf"_s), pdf(u"4.pdf"_s)});
    markOutcomes();
    w.m_fileTable->selectRow(0);
    QVERIFY(!w.m_upButton->isEnabled());
    QVERIFY(w.m_downButton->isEnabled());
    QTest::mouseClick(w.m_downButton, Qt::LeftButton);
    QTest::mouseClick(w.m_downButton, Qt::LeftButton);
    QCOMPARE(QFileInfo(w.m_items.at(2).input).fileName(), u"1.pdf"_s);
    QCOMPARE(w.m_fileTable->currentRow(), 2);
    // Outside "merge" the outcomes move with their entries.
    QCOMPARE(w.m_items.at(2).state, u"处理完成"_s);
    QTest::mouseClick(w.m_downButton, Qt::LeftButton);
    QVERIFY(!w.m_downButton->isEnabled());

    // In "merge" any change of the list resets every outcome, even a cancelled dialog.
    setOperation(u"merge"_s);
    markOutcomes();
    m_prompter->fileAnswers.clear();
    QTest::mouseClick(w.m_addFilesButton, Qt::LeftButton);
    QCOMPARE(w.m_items.at(0).state, u"等待处理"_s);
    QVERIFY(w.m_items.at(0).output.isEmpty());

    // Removing several selected rows removes exactly those.
    w.m_fileTable->clearSelection();
    w.m_fileTable->selectionModel()->select(w.m_fileTable->model()->index(0, 0),
                                            QItemSelectionModel::Select |
                                                QItemSelectionModel::Rows);
    w.m_fileTable->selectionModel()->select(w.m_fileTable->model()->index(2, 0),
                                            QItemSelectionModel::Select |
                                                QItemSelectionModel::Rows);
    const QString kept1 = w.m_items.at(1).input;
    const QString kept2 = w.m_items.at(3).input;
    w.m_fileTable->setCurrentCell(2, 0, QItemSelectionModel::NoUpdate);
    QTest::mouseClick(w.m_removeButton, Qt::LeftButton);
    QCOMPARE(w.m_items.size(), 2);
    QCOMPARE(w.m_items.at(0).input, kept1);
    QCOMPARE(w.m_items.at(1).input, kept2);

    QTest::mouseClick(w.m_clearButton, Qt::LeftButton);
    QVERIFY(w.m_items.isEmpty());
    QCOMPARE(w.m_viewStack->currentIndex(), 0);
    QVERIFY(!w.m_removeButton->isEnabled());
}

void TestBatchWindow::panelPerOperation_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("visible"); // p: page range, g: group, r: rotation, n: new pw, o: OCR
    QTest::addColumn<QString>("note");
    const QString other =
        u"保留原文件。带数字签名的 PDF 不会被处理，以免签名失效；如需修改，请在签署它的程序中进行。"_s;
    const QString splitNote =
        u"表单字段、书签和链接随所留页面保留；XFA 表单和带结构标签的文档可能无法删减页面，会显示具体原因。"_s;
    QTest::newRow("merge")
        << u"merge"_s << u"n"_s
        << u"按列表从上到下合并。有密码的源文件用“源文件密码”打开，合并结果不沿用它们的密码。表单字段随页面保留，不同文件的同名字段会重命名；XFA 表单不能合并。"_s;
    QTest::newRow("split") << u"split"_s << u"gp"_s << splitNote;
    QTest::newRow("extract") << u"extract"_s << u"p"_s << splitNote;
    QTest::newRow("rotate") << u"rotate"_s << u"pr"_s << other;
    QTest::newRow("ocr")
        << u"ocr"_s << u"o"_s
        << u"原页面保留，叠加可搜索文字层；倾斜的扫描页按校正后的文字行识别。识别在本机完成。"_s;
    QTest::newRow("optimize") << u"optimize"_s << QString()
                              << u"不降采样图片。已充分压缩的 PDF 可能不会变小。"_s;
    QTest::newRow("compress")
        << u"compress"_s << u"c"_s
        << u"只压缩图片：文字、矢量图形、表单、书签和链接保持不变，黑白扫描页无损保存；结果不会大于原文件。"_s;
    QTest::newRow("encrypt") << u"encrypt"_s << u"n"_s
                             << u"新密码也用于所有者验证，请妥善保存。密码丢失后无法恢复。"_s;
    QTest::newRow("decrypt") << u"decrypt"_s << QString() << other;
}

void TestBatchWindow::panelPerOperation()
{
    QFETCH(QString, id);
    QFETCH(QString, visible);
    QFETCH(QString, note);
    BatchWindow& w = *m_window;
    setOperation(id);
    // Each letter names fields that show; no other field does.
    const QList<std::pair<QChar, QStringList>> fields{
        {u'p', {u"pages"_s}},
        {u'g', {u"group"_s}},
        {u'r', {u"degrees"_s}},
        {u'n', {u"newPassword"_s, u"confirmPassword"_s}},
        {u'o', {u"ocrLanguage"_s, u"ocrDpi"_s, u"ocrOutputKind"_s, u"ocrModels"_s}},
        {u'c', {u"compressLevel"_s, u"targetSize"_s}}};
    for (const auto& [letter, names] : fields) {
        for (const QString& name : names) {
            const QList<QWidget*> found = w.m_settings->findChildren<QWidget*>(name);
            QVERIFY(!found.isEmpty());
            const bool shown = std::any_of(found.begin(), found.end(),
                                           [](const QWidget* field) { return field->isVisible(); });
            QVERIFY2(shown == visible.contains(letter), qPrintable(name));
        }
    }
    QVERIFY(w.m_sourcePasswordEdit->isVisible());
    QCOMPARE(w.m_noteLabel->text(), note);
}

void TestBatchWindow::everyOptionMarksResults()
{
    BatchWindow& w = *m_window;
    setOperation(u"rotate"_s);
    w.addPaths({pdf(u"a.pdf"_s), pdf(u"b.pdf"_s)});
    const QList<std::function<void()>> changes{
        [&] { w.currentPanel()->findChild<QLineEdit*>(u"pages"_s)->setText(u"1"_s); },
        [&] { field<QSpinBox>(w, u"split"_s, u"group"_s)->setValue(3); },
        [&] { field<QComboBox>(w, u"rotate"_s, u"degrees"_s)->setCurrentIndex(1); },
        [&] { field<QLineEdit>(w, u"encrypt"_s, u"newPassword"_s)->setText(u"y"_s); },
        [&] { field<QLineEdit>(w, u"encrypt"_s, u"confirmPassword"_s)->setText(u"z"_s); },
        [&] { w.m_outputEdit->setText(m_dir->filePath(u"elsewhere"_s)); },
        [&] { field<QComboBox>(w, u"ocr"_s, u"ocrDpi"_s)->setCurrentIndex(0); },
        [&] { field<QCheckBox>(w, u"ocr"_s, u"keepText"_s)->setChecked(false); },
        [&] { field<QComboBox>(w, u"ocr"_s, u"ocrOutputKind"_s)->setCurrentIndex(1); },
        [&] { field<QComboBox>(w, u"ocr"_s, u"ocrLanguage"_s)->setCurrentIndex(2); },
        [&] { field<QLineEdit>(w, u"ocr"_s, u"ocrModels"_s)->setText(m_dir->path()); },
        [&] { field<QComboBox>(w, u"compress"_s, u"compressLevel"_s)->setCurrentIndex(0); },
        [&] { field<QDoubleSpinBox>(w, u"compress"_s, u"targetSize"_s)->setValue(2); },
    };
    // A result made with the old settings stays, marked, and may be made again.
    for (qsizetype i = 0; i < changes.size(); ++i) {
        markOutcomes();
        QVERIFY(!w.m_startButton->isEnabled()); // everything done
        changes.at(i)();
        QVERIFY2(w.m_items.at(1).state == u"设置已更改"_s, qPrintable(QString::number(i)));
        QCOMPARE(w.m_items.at(1).output, w.m_items.at(1).input);
        QVERIFY(w.m_startButton->isEnabled());
    }
    // A source password may open what failed; it changes nothing made.
    markOutcomes();
    w.m_items[0].succeeded = false;
    w.m_items[0].failed = true;
    w.m_sourcePasswordEdit->setText(u"x"_s);
    QCOMPARE(w.m_items.at(0).state, u"等待处理"_s);
    QCOMPARE(w.m_items.at(1).state, u"处理完成"_s);
    QVERIFY(w.m_items.at(1).succeeded);

    // Each operation keeps its own page range.
    QCOMPARE(w.currentPanel()->findChild<QLineEdit*>(u"pages"_s)->text(),
             u"1"_s); // typed above for the rotation
    setOperation(u"extract"_s);
    QVERIFY(w.currentPanel()->findChild<QLineEdit*>(u"pages"_s)->text().isEmpty());
    w.currentPanel()->findChild<QLineEdit*>(u"pages"_s)->setText(u"2-3"_s);
    setOperation(u"rotate"_s);
    QCOMPARE(w.currentPanel()->findChild<QLineEdit*>(u"pages"_s)->text(), u"1"_s);
    setOperation(u"extract"_s);
    QCOMPARE(w.currentPanel()->findChild<QLineEdit*>(u"pages"_s)->text(), u"2-3"_s);
    setOperation(u"rotate"_s);

    // Changing the operation clears the three password fields too.
    markOutcomes();
    w.m_sourcePasswordEdit->setText(u"secret"_s);
    setOperation(u"encrypt"_s);
    QVERIFY(w.m_sourcePasswordEdit->text().isEmpty());
    QVERIFY(field<QLineEdit>(w, u"encrypt"_s, u"newPassword"_s)->text().isEmpty());
    QCOMPARE(w.m_items.at(0).state, u"等待处理"_s);
    setOperation(u"rotate"_s);

    // A language whose model is missing shows the model message at once.
    setOperation(u"ocr"_s);
    QTemporaryDir models;
    testsupport::writeBytes(models.filePath(u"eng.traineddata"_s), "m");
    testsupport::writeBytes(models.filePath(u"pdf.ttf"_s), "f");
    field<QLineEdit>(w, u"ocr"_s, u"ocrModels"_s)->setText(models.path());
    field<QComboBox>(w, u"ocr"_s, u"ocrLanguage"_s)->setCurrentIndex(2);
    QCOMPARE(field<QLabel>(w, u"ocr"_s, u"muted"_s)->text(),
             u"所选语言文件齐全，开始识别时将加载校验。"_s);
    field<QComboBox>(w, u"ocr"_s, u"ocrLanguage"_s)->setCurrentIndex(1);
    QCOMPARE(field<QLabel>(w, u"ocr"_s, u"muted"_s)->text(),
             u"缺少可读取的语言模型：chi_tra.traineddata。请安装对应模型或选择已有模型文件夹。"_s);
}

void TestBatchWindow::keptResultsAndTheRerunQuestion_data()
{
    QTest::addColumn<int>("answer"); // to "重新处理 / 只处理其余文件 / 取消"
    QTest::addColumn<QStringList>("states");
    QTest::addColumn<int>("results"); // files in the output folder
    QTest::newRow("again") << 0 << QStringList{u"处理完成"_s, u"处理完成"_s} << 3;
    QTest::newRow("only the rest") << 1 << QStringList{u"设置已更改"_s, u"处理完成"_s} << 2;
    QTest::newRow("cancel") << 2 << QStringList{u"设置已更改"_s, u"等待处理"_s} << 1;
}

// One result made, one file added, then the angle changed: the start asks
// once about the result made with the old angle.
void TestBatchWindow::keptResultsAndTheRerunQuestion()
{
    QFETCH(int, answer);
    QFETCH(QStringList, states);
    QFETCH(int, results);
    BatchWindow& w = *m_window;
    setOperation(u"rotate"_s);
    w.addPaths({pdf(u"a.pdf"_s)});
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    const QString first = w.m_items.at(0).output;
    w.addPaths({pdf(u"b.pdf"_s)});
    field<QComboBox>(w, u"rotate"_s, u"degrees"_s)->setCurrentIndex(1);
    QCOMPARE(w.m_items.at(0).output, first);
    m_prompter->chooseAnswer = answer;
    m_prompter->messages.clear();
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    QCOMPARE(m_prompter->messages, QStringList{u"设置已更改|重新处理/只处理其余文件/取消"_s});
    QCOMPARE((QStringList{w.m_items.at(0).state, w.m_items.at(1).state}), states);
    QVERIFY(QFileInfo::exists(first)); // nothing replaced
    if (answer == 0)
        QVERIFY(w.m_items.at(0).output != first);
    QCOMPARE(testsupport::folderEntries(m_dir->filePath(u"out"_s)).size(), results);
}

void TestBatchWindow::startChecks()
{
    BatchWindow& w = *m_window;
    w.addPaths({pdf(u"only.pdf"_s)});
    setOperation(u"merge"_s);
    QVERIFY(!w.m_startButton->isEnabled());

    setOperation(u"ocr"_s);
    field<QLineEdit>(w, u"ocr"_s, u"ocrModels"_s)->setText(m_dir->filePath(u"nothing"_s));
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QCOMPARE(m_prompter->messages.takeLast(),
             u"检查 OCR 语言包|请选择包含语言模型的 tessdata 文件夹。"_s);

    setOperation(u"encrypt"_s);
    // Each says what to do, in words and not in bytes.
    const QList<std::tuple<QString, QString, QString>> passwords{
        {QString(), QString(), u"请填写新密码。"_s},
        {u"a"_s, u"b"_s, u"两次输入的新密码不一致，请重新输入。"_s},
        {QString(128, u'a'), QString(128, u'a'), u"密码太长：最多 127 个英文字母或 42 个汉字。"_s},
        {QString(43, u'密'), QString(43, u'密'), u"密码太长：最多 127 个英文字母或 42 个汉字。"_s}};
    for (const auto& [first, second, warning] : passwords) {
        field<QLineEdit>(w, u"encrypt"_s, u"newPassword"_s)->setText(first);
        field<QLineEdit>(w, u"encrypt"_s, u"confirmPassword"_s)->setText(second);
        QTest::mouseClick(w.m_startButton, Qt::LeftButton);
        QCOMPARE(m_prompter->messages.takeLast(), u"检查密码|"_s + warning);
        QVERIFY(!w.m_running);
    }

    setOperation(u"rotate"_s);
    w.m_outputEdit->setText(u"relative/out"_s);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QCOMPARE(m_prompter->messages.takeLast(), u"输出位置无效|请选择可写的绝对路径文件夹。"_s);
    // A missing absolute folder is created when the batch starts.
    w.m_outputEdit->setText(m_dir->filePath(u"new/deep"_s));
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(QFileInfo(m_dir->filePath(u"new/deep"_s)).isDir());
    QVERIFY(waitIdle());
    QCOMPARE(w.m_items.at(0).state, u"处理完成"_s);

    // Results beside their sources: said once.
    w.m_outputEdit->setText(m_dir->path());
    w.resetResults();
    for (int run = 0; run < 2; ++run) {
        const qsizetype said = m_prompter->messages.size();
        QTest::mouseClick(w.m_startButton, Qt::LeftButton);
        QVERIFY(waitIdle());
        QCOMPARE(m_prompter->messages.size(), said + (run == 0 ? 1 : 0));
        w.resetResults();
    }
    QVERIFY(m_prompter->messages.last().startsWith(u"结果与源文件在同一文件夹|"_s));
}

void TestBatchWindow::batchWithOneFailureAndRetry()
{
    BatchWindow& w = *m_window;
    setOperation(u"rotate"_s);
    const QString good1 = pdf(u"one.pdf"_s, 2);
    const QString broken = m_dir->filePath(u"two.pdf"_s);
    testsupport::writeBytes(broken, "%PDF-1.7 this is not really a PDF");
    const QString good2 = pdf(u"three.pdf"_s, 3);
    testsupport::SourceGuard guard;
    for (const QString& path : {good1, broken, good2})
        guard.add(path);
    w.addPaths({good1, broken, good2});

    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(w.m_running);
    // While running: the list and the settings are closed, stop is offered.
    QVERIFY(!w.m_navigation->isEnabled());
    QVERIFY(!w.m_settings->isEnabled());
    QVERIFY(!w.m_addFilesButton->isEnabled());
    QVERIFY(!w.m_startButton->isEnabled());
    QVERIFY(!w.m_exportButton->isEnabled());
    QVERIFY(w.m_stopButton->isVisible());
    QVERIFY(w.m_helpButton->isEnabled());
    QVERIFY(w.m_openFolderButton->isEnabled());
    QVERIFY(waitIdle());

    QCOMPARE(w.m_items.at(0).state, u"处理完成"_s);
    QCOMPARE(w.m_items.at(1).state, u"处理失败"_s);
    QVERIFY(w.m_items.at(1).detail.startsWith(u"无法读取 PDF"_s));
    QCOMPARE(w.m_items.at(2).state, u"处理完成"_s);
    QCOMPARE(w.m_fileTable->item(1, 2)->foreground().color(), QColor(u"#ba1a1a"_s));
    QCOMPARE(w.m_fileTable->item(1, 2)->toolTip(), w.m_items.at(1).detail);
    QCOMPARE(w.m_fileTable->item(0, 2)->foreground().color(), QColor(u"#166534"_s));
    QCOMPARE(w.m_fileTable->item(2, 3)->text(), u"three-旋转.pdf"_s);
    // The Chinese reason is in view, the library's English only in the
    // details; the status line says once how to read it all.
    QCOMPARE(w.m_fileTable->item(1, 3)->text(), w.m_items.at(1).detail.section(u'\n', 0, 0));
    QVERIFY(w.m_items.at(1).detail.contains(u'\n'));
    QVERIFY(!w.m_fileTable->item(1, 3)->text().contains(QRegularExpression(u"[A-Za-z]{4,}"_s)));
    QCOMPARE(w.m_statusLine->text(),
             u"3 份文件 · 成功 2 · 失败 1 · 待处理 0 · 双击一行或按 Enter 查看详情"_s);
    QVERIFY(w.m_retryButton->isEnabled());
    QVERIFY(w.m_exportButton->isEnabled());
    QVERIFY(w.m_startButton->isEnabled());
    QCOMPARE(w.m_batchProgress->value(), w.m_batchProgress->maximum());
    QVERIFY(guard.unchanged());

    // The details box, on Enter as on a double click; on a done row its result opens.
    w.m_fileTable->setFocus();
    w.m_fileTable->selectRow(1);
    QTest::keyClick(w.m_fileTable, Qt::Key_Return);
    QCOMPARE(m_prompter->messages.takeLast(), u"处理详情|"_s + w.m_items.at(1).detail);
    w.showItemDetails(0);
    QCOMPARE(m_prompter->opened.takeLast(), QUrl::fromLocalFile(w.m_items.at(0).output));
    w.m_fileTable->selectRow(1);
    QVERIFY(!w.m_openResultButton->isEnabled());
    w.m_fileTable->selectRow(2);
    QVERIFY(w.m_openResultButton->isEnabled());

    // Retry runs only the failed entry: mend the file, and only one new result appears.
    testsupport::writePdf(broken, {.pages = 1});
    const QString outFolder = m_dir->filePath(u"out"_s);
    const qsizetype before = testsupport::folderEntries(outFolder).size();
    const QString firstOutput = w.m_items.at(0).output;
    QTest::mouseClick(w.m_retryButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    QCOMPARE(testsupport::folderEntries(outFolder).size(), before + 1);
    QCOMPARE(w.m_items.at(1).state, u"处理完成"_s);
    QCOMPARE(w.m_items.at(0).output, firstOutput);
    QCOMPARE(w.m_statusLine->text(), u"3 份文件 · 成功 3 · 失败 0 · 待处理 0"_s);
    QVERIFY(!w.m_startButton->isEnabled());
}

void TestBatchWindow::nothingToDoIsSkipped()
{
    // Removing a password from files that have none: grey, with the reason,
    // nothing written, nothing left to start, and the bar not red.
    BatchWindow& w = *m_window;
    setOperation(u"decrypt"_s);
    w.m_sourcePasswordEdit->setText(u"x"_s);
    w.addPaths({pdf(u"plain.pdf"_s), pdf(u"also plain.pdf"_s)});
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    for (int row = 0; row < 2; ++row) {
        QCOMPARE(w.m_items.at(row).state, u"已跳过"_s);
        QCOMPARE(w.m_fileTable->item(row, 3)->text(), u"文件未加密，无需处理。"_s);
        QCOMPARE(w.m_fileTable->item(row, 2)->foreground().color(), QColor(u"#59677b"_s));
    }
    QVERIFY(
        w.m_statusLine->text().startsWith(u"2 份文件 · 成功 0 · 失败 0 · 已跳过 2 · 待处理 0"_s));
    QVERIFY(!w.m_batchProgress->property("failed").toBool());
    QVERIFY(!w.m_startButton->isEnabled());
    QVERIFY(!w.m_retryButton->isEnabled());
    QVERIFY(w.m_exportButton->isEnabled());
    QVERIFY(testsupport::folderEntries(m_dir->filePath(u"out"_s)).filter(u".pdf"_s).isEmpty());
}

void TestBatchWindow::passwordPerRow()
{
    // Two files with passwords of their own beside a plain one; the shared
    // field holds the first one's.
    BatchWindow& w = *m_window;
    setOperation(u"rotate"_s);
    const QString first = lockedPdf(u"甲.pdf"_s, "甲密码", 1);
    const QString second = lockedPdf(u"乙.pdf"_s, "乙密码", 1);
    w.addPaths({first, second, pdf(u"plain.pdf"_s)});
    w.m_sourcePasswordEdit->setText(u"甲密码"_s);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    QCOMPARE(w.m_items.at(1).state, u"处理失败"_s);
    const QString firstResult = w.m_items.at(0).output;
    QVERIFY(QFileInfo::exists(firstResult));

    // From the failed row's details: only that row waits again.
    m_prompter->pressAction = true;
    m_prompter->passwordAnswers = {u"乙密码"_s};
    w.showItemDetails(1);
    QCOMPARE(m_prompter->messages.mid(m_prompter->messages.size() - 2),
             (QStringList{u"处理详情"_s, u"设置密码"_s}));
    QCOMPARE(w.m_items.at(1).state, u"等待处理"_s);
    QCOMPARE(w.m_items.at(0).output, firstResult);
    QCOMPARE(w.m_items.at(2).state, u"处理完成"_s);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    QCOMPARE(w.m_items.at(1).state, u"处理完成"_s);
    QVERIFY(testsupport::inspectPdf(w.m_items.at(1).output, "乙密码-owner").ownerMatched);
    QCOMPARE(testsupport::folderEntries(m_dir->filePath(u"out"_s)).size(), 3);

    // From the list's menu, for a merge: each source opens with its own.
    setOperation(u"merge"_s);
    w.m_sourcePasswordEdit->setText(u"甲密码"_s);
    w.m_fileTable->selectRow(1);
    m_prompter->passwordAnswers = {u"乙密码"_s};
    const auto actions = w.m_fileTable->actions();
    const auto menu = std::find_if(actions.begin(), actions.end(), [](const QAction* action) {
        return action->objectName() == u"rowPassword"_s;
    });
    QVERIFY(menu != actions.end());
    (*menu)->trigger();
    QCOMPARE(w.m_items.at(1).password, u"乙密码"_s);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    QVERIFY2(w.m_items.at(0).state == u"完成，请核对"_s, qPrintable(w.m_items.at(0).detail));
    // What to check leads the row, before the result's name.
    QVERIFY(w.m_fileTable->item(0, 3)->text().startsWith(u"这些源文件有密码保护"_s));
    QVERIFY(w.m_items.at(0).detail.startsWith(u"这些源文件有密码保护：甲.pdf、乙.pdf。"_s));
    QCOMPARE(testsupport::inspectPdf(w.m_items.at(0).output).markers.size(), 3);
}

void TestBatchWindow::mergeMarksEveryEntry()
{
    BatchWindow& w = *m_window;
    w.addPaths({pdf(u"m1.pdf"_s, 2), pdf(u"m2.pdf"_s, 1), pdf(u"m3.pdf"_s, 3)});
    // The list's order is the merge's: m3 moved to the top.
    w.m_fileTable->selectRow(2);
    w.moveCurrent(-1);
    w.moveCurrent(-1);
    QCOMPARE(QFileInfo(w.m_items.at(0).input).fileName(), u"m3.pdf"_s);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(w.m_running);
    QCOMPARE(w.m_items.at(2).state, u"正在合并"_s);
    QCOMPARE(w.m_statusLine->text(), u"正在合并 3 份文件，请稍候…"_s);
    QVERIFY(waitIdle());
    const QString output = w.m_items.at(0).output;
    QCOMPARE(QFileInfo(output).fileName(), u"合并文档-合并.pdf"_s);
    for (const BatchItem& item : std::as_const(w.m_items)) {
        QCOMPARE(item.output, output);
        QCOMPARE(item.state, u"处理完成"_s);
    }
    QCOMPARE(testsupport::inspectPdf(output).markers,
             testsupport::expectedMarkers(u"m3"_s, {1, 2, 3}) +
                 testsupport::expectedMarkers(u"m1"_s, {1, 2}) +
                 testsupport::expectedMarkers(u"m2"_s, {1}));

    // One file needs a password: the merge fails, and says which.
    const QString locked = m_dir->filePath(u"m4.pdf"_s);
    testsupport::writePdf(locked, {.encryption = testsupport::Encryption::R6Aes256,
                                   .userPassword = "open",
                                   .ownerPassword = "owner"});
    w.addPaths({locked});
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    for (const BatchItem& item : std::as_const(w.m_items)) {
        QVERIFY(item.failed);
        QVERIFY2(item.detail.startsWith(u"“m4.pdf”：无法读取 PDF："_s), qPrintable(item.detail));
    }
}

void TestBatchWindow::settingsReachTheOutput_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("pages");
    QTest::addColumn<int>("degrees");
    QTest::addColumn<int>("group");
    // Per output file, in name order: "p1 p3" markers, or rotations "r0 r180 …".
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("rotate page 2 by 180")
        << u"rotate"_s << u"2"_s << 180 << 1 << QStringList{u"r0 r180 r0 r0 r0"_s};
    QTest::newRow("rotate 4-5 by 270")
        << u"rotate"_s << u"4-5"_s << 270 << 1 << QStringList{u"r0 r0 r0 r270 r270"_s};
    QTest::newRow("extract 5,1-2")
        << u"extract"_s << u"5,1-2"_s << 90 << 1 << QStringList{u"p1 p2 p5"_s};
    QTest::newRow("split by 2") << u"split"_s << QString() << 90 << 2
                                << QStringList{u"p1 p2"_s, u"p3 p4"_s, u"p5"_s};
}

void TestBatchWindow::settingsReachTheOutput()
{
    // What is chosen in the window is what the result holds.
    QFETCH(QString, operation);
    QFETCH(QString, pages);
    QFETCH(int, degrees);
    QFETCH(int, group);
    QFETCH(QStringList, expected);
    BatchWindow& w = *m_window;
    setOperation(operation);
    w.addPaths({pdf(u"five.pdf"_s, 5)});
    if (auto* edit = w.currentPanel()->findChild<QLineEdit*>(u"pages"_s))
        edit->setText(pages);
    auto* turn = field<QComboBox>(w, u"rotate"_s, u"degrees"_s);
    turn->setCurrentIndex(turn->findData(degrees));
    field<QSpinBox>(w, u"split"_s, u"group"_s)->setValue(group);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    const QString output = w.m_items.at(0).output;
    QVERIFY2(!output.isEmpty(), qPrintable(w.m_items.at(0).detail));
    const bool folder = QFileInfo(output).isDir();
    const QStringList files =
        folder ? testsupport::folderEntries(output) : QStringList{QFileInfo(output).fileName()};
    QStringList seen;
    for (const QString& file : files) {
        const testsupport::PdfFacts facts =
            testsupport::inspectPdf((folder ? output : QFileInfo(output).path()) + u'/' + file);
        QStringList words;
        if (operation == u"rotate"_s) {
            for (const int rotation : facts.rotations)
                words << u"r%1"_s.arg(rotation);
        } else {
            for (const QString& marker : facts.markers)
                words << marker.section(u'-', -1);
        }
        seen << words.join(u' ');
    }
    QCOMPARE(seen, expected);
}

void TestBatchWindow::pageToolPanelsBuildTheRequest_data()
{
    // Fields set as "name=value" (check boxes "name" alone), and the request
    // members expected, as the worker reads them.
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QJsonObject>("expected");
    QTest::newRow("stamp: numbers and Bates")
        << u"stamp"_s
        << QStringList{u"numbers"_s, u"bates"_s, u"batesPrefix=案-"_s, u"batesDigits=4"_s}
        << QJsonObject{{u"numberFormat"_s, u"第 {n} 页 共 {total} 页"_s},
                       {u"batesPrefix"_s, u"案-"_s},
                       {u"batesDigits"_s, 4},
                       {u"watermarkText"_s, QString()}};
    QTest::newRow("stamp: a text watermark, its placeholder")
        << u"stamp"_s << QStringList{u"textWatermark"_s, u"watermarkTiled"_s}
        << QJsonObject{{u"numberFormat"_s, QString()},
                       {u"watermarkText"_s, u"内部资料"_s},
                       {u"watermarkTiled"_s, true},
                       {u"batesDigits"_s, 0}};
    QTest::newRow("pictures into one PDF")
        << u"images2pdf"_s << QStringList{u"oneFile"_s, u"oneFileName=收据"_s, u"fitA4"_s}
        << QJsonObject{{u"oneFile"_s, u"收据"_s}, {u"fitA4"_s, true}, {u"recognize"_s, false}};
    QTest::newRow("pages as grey JPEG")
        << u"pdf2images"_s << QStringList{u"imageGrey"_s, u"imageDpi=300"_s, u"pages=2-"_s}
        << QJsonObject{{u"imageGrey"_s, true}, {u"imageDpi"_s, 300}, {u"pages"_s, u"2-"_s}};
}

// The new operations' panels fill the request the worker reads, and the
// list takes pictures only for pictures to PDF.
void TestBatchWindow::pageToolPanelsBuildTheRequest()
{
    QFETCH(QString, operation);
    QFETCH(QStringList, fields);
    QFETCH(QJsonObject, expected);
    BatchWindow& w = *m_window;
    setOperation(operation);
    QImage picture(20, 20, QImage::Format_RGB32);
    picture.fill(Qt::white);
    const QString photo = m_dir->filePath(u"照片.png"_s);
    QVERIFY(picture.save(photo));
    w.addPaths({pdf(u"文档.pdf"_s), photo});
    QCOMPARE(w.m_items.size(), 1);
    QVERIFY(w.m_items.at(0).input.endsWith(operation == u"images2pdf"_s ? u".png"_s : u".pdf"_s));
    for (const QString& setting : fields) {
        QWidget* widget = w.currentPanel()->findChild<QWidget*>(setting.section(u'=', 0, 0));
        QVERIFY2(widget, qPrintable(setting));
        const QVariant value =
            setting.contains(u'=') ? QVariant(setting.section(u'=', 1)) : QVariant(true);
        QVERIFY(widget->metaObject()->userProperty().write(widget, value));
    }
    QVERIFY(!w.currentPanel()->problem());
    const QJsonObject request = batch::toJson(w.buildRequest({0}));
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QCOMPARE(request.value(it.key()), it.value());
}

// Every member the compression reads comes from its panel, and the saving
// reaches the row.
void TestBatchWindow::compressPanelBuildsTheRequest()
{
    BatchWindow& w = *m_window;
    setOperation(u"compress"_s);
    const QString doc = pdf(u"扫描.pdf"_s, 2);
    testsupport::SourceGuard guard;
    guard.add(doc);
    auto* level = field<QComboBox>(w, u"compress"_s, u"compressLevel"_s);
    auto* target = field<QDoubleSpinBox>(w, u"compress"_s, u"targetSize"_s);
    QCOMPARE(target->text(), u"不限"_s);
    w.addPaths({doc});
    const QJsonObject defaults = batch::toJson(w.buildRequest({0}));
    QCOMPARE(defaults.value(u"compressLevel"_s).toString(), u"standard"_s);
    QCOMPARE(defaults.value(u"targetSize"_s).toDouble(), 0.0);
    QVERIFY(w.currentPanel()->findChild<QLabel*>(u"muted"_s)->text().contains(u"200 DPI"_s));
    // The levels in order, the archive level last, each with its note.
    QCOMPARE(level->count(), 4);
    QCOMPARE(level->itemText(3), u"极限压缩"_s);
    level->setCurrentIndex(level->findData(u"archive"_s));
    QVERIFY(w.currentPanel()->findChild<QLabel*>(u"muted"_s)->text().contains(u"100 DPI"_s));
    level->setCurrentIndex(level->findData(u"small"_s));
    target->setValue(2.5);
    const batch::JobRequest request = w.buildRequest({0});
    QCOMPARE(request.operation->id, u"compress"_s);
    QCOMPARE(request.inputs, QStringList{doc});
    QCOMPARE(request.compressLevel, u"small"_s);
    QCOMPARE(request.targetSize, qint64(2.5 * 1024 * 1024));
    const QJsonObject reported = QJsonDocument::fromJson(batch::batchReport(request, {}))
                                     .object()
                                     .value(u"settings"_s)
                                     .toObject();
    QCOMPARE(reported.value(u"compressLevel"_s).toString(), u"small"_s);
    QCOMPARE(reported.value(u"targetSize"_s).toDouble(), 2.5 * 1024 * 1024);

    // 0.1 MB is far more than the document: only the lossless steps run.
    target->setValue(0.1);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    QCOMPARE(w.m_items.at(0).state, u"处理完成"_s);
    QVERIFY2(w.m_items.at(0).detail.startsWith(u"已压缩："_s), qPrintable(w.m_items.at(0).detail));
    QVERIFY(QFileInfo(w.m_items.at(0).output).fileName().startsWith(u"扫描-压缩"_s));
    QVERIFY(guard.unchanged());
}

namespace {

using WindowWatch = std::function<void(BatchWindow*&, FakePrompter*&, const QString& in)>;

} // namespace

} // namespace batch

Q_DECLARE_METATYPE(batch::WindowWatch)

namespace batch {

bool TestBatchWindow::waitForRows(BatchWindow* window, qsizetype count, const QString& state)
{
    return QTest::qWaitFor(
        [&] {
            return std::count_if(window->m_items.begin(), window->m_items.end(),
                                 [&state](const BatchItem& item) { return item.state == state; }) >=
                   count;
        },
        60000);
}

void TestBatchWindow::watchingAFolder_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("answer"); // to the question about the files already there
    QTest::addColumn<WindowWatch>("scenario");
    QTest::newRow("arriving files become rows, the settings locked")
        << u"rotate"_s << 0 << WindowWatch([](BatchWindow*& w, FakePrompter*&, const QString& in) {
               QVERIFY(w->m_watchBanner->isVisible());
               QVERIFY(w->m_watchLabel->text().startsWith(u"正在监视 "_s +
                                                          QDir::toNativeSeparators(in)));
               for (QWidget* locked : std::initializer_list<QWidget*>{
                        w->m_settings, w->m_navigation, w->m_startButton, w->m_watchButton,
                        w->m_addFilesButton, w->m_outputEdit, w->m_nameEdit})
                   QVERIFY(!locked->isEnabled());
               testsupport::writePdf(in + u"/b.pdf"_s, {.marker = u"b"_s});
               QVERIFY(waitForRows(w, 2, u"处理完成"_s));
               QVERIFY(QTest::qWaitFor([&] {
                   return w->m_watchLabel->text().contains(
                       QRegularExpression(u"（上次检查 \\d\\d:\\d\\d:\\d\\d）$"_s));
               }));
               // The start at login, as the desktop reads it.
               w->m_autostartCheck->setChecked(true);
               QFile entry(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                           u"/autostart/quorvin-pdf-batch.desktop"_s);
               QVERIFY(entry.open(QIODevice::ReadOnly));
               const QByteArray exec =
                   "\nExec=\"" + QCoreApplication::applicationFilePath().toUtf8() + "\"\n";
               QVERIFY(entry.readAll().contains(exec));
               w->m_autostartCheck->setChecked(false);
               QVERIFY(!entry.exists());
               QTest::mouseClick(w->m_stopWatchButton, Qt::LeftButton);
               QVERIFY(QTest::qWaitFor([&] { return !w->m_watching; }));
               QVERIFY(!w->m_watchBanner->isVisible());
               QVERIFY(w->m_settings->isEnabled() && w->m_watchButton->isEnabled());
               QVERIFY(!QSettings().value(u"watch/active"_s).toBool());
           });
    QTest::newRow("a merge is refused")
        << u"merge"_s << 0 << WindowWatch([](BatchWindow*& w, FakePrompter*& p, const QString&) {
               QVERIFY(!w->m_watching);
               QVERIFY2(p->messages.last().startsWith(u"无法监视文件夹|合并需要事先选定的文件"_s),
                        qPrintable(p->messages.join(u'\n')));
           });
    QTest::newRow("a failed file is tried again when asked")
        << u"rotate"_s << 0 << WindowWatch([](BatchWindow*& w, FakePrompter*&, const QString& in) {
               testsupport::writeBytes(in + u"/broken.pdf"_s, "%PDF-1.7 nothing more");
               QVERIFY(waitForRows(w, 1, u"处理失败"_s));
               QVERIFY(waitForRows(w, 1, u"处理完成"_s));
               QTest::qWait(1500);
               QCOMPARE(w->m_items.size(), 2);
               QVERIFY(w->m_retryButton->isEnabled());
               QTest::mouseClick(w->m_retryButton, Qt::LeftButton);
               QVERIFY(waitForRows(w, 2, u"处理失败"_s));
               QCOMPARE(w->m_items.size(), 3);
           });
    QTest::newRow("on again when the program starts again, new files only")
        << u"split"_s << 1 << WindowWatch([](BatchWindow*& w, FakePrompter*& p, const QString& in) {
               QVERIFY(w->close());
               delete w;
               // As the program starts: the window that was watching watches again,
               // once its folder (a share not mounted yet) is there.
               QVERIFY(QDir().rename(in, in + u"-未挂载"_s));
               w = new BatchWindow;
               auto prompter = std::make_unique<FakePrompter>();
               p = prompter.get();
               w->setPrompter(std::move(prompter));
               w->setWorkerProgram(testsupport::workerExecutable());
               w->show();
               QVERIFY(QTest::qWaitFor(
                   [&] { return w->m_statusLine->text().startsWith(u"等待被监视的文件夹"_s); }));
               QVERIFY(!w->m_watching);
               QVERIFY(QDir().rename(in + u"-未挂载"_s, in));
               w->resumeWatching(1); // as its timer does
               // Files there at its first look are old ones.
               QVERIFY(QTest::qWaitFor([&] { return w->m_lastCheck.isValid(); }));
               QCOMPARE(w->currentOperation().id, u"split"_s);
               testsupport::writePdf(in + u"/new.pdf"_s, {.marker = u"new"_s});
               QVERIFY(waitForRows(w, 1, u"处理完成"_s));
               QTest::qWait(1500);
               QCOMPARE(w->m_items.size(), 1);
               // Its report is the journal: the file there at the start, skipped, too.
               const QString report = QFileInfo(in).absolutePath() + u"/report.json"_s;
               p->saveAnswers = {report};
               QTest::mouseClick(w->m_exportButton, Qt::LeftButton);
               QFile saved(report);
               QVERIFY(saved.open(QIODevice::ReadOnly));
               const QJsonArray items =
                   QJsonDocument::fromJson(saved.readAll()).object()[u"items"_s].toArray();
               QCOMPARE(items.size(), 2);
               QCOMPARE(items.at(0)[u"status"_s].toString(), u"skipped"_s);
               QCOMPARE(items.at(1)[u"status"_s].toString(), u"ok"_s);
           });
}

// Started as the user starts it: "监视文件夹…", a folder, and the answer
// about the files already there (a.pdf).
void TestBatchWindow::watchingAFolder()
{
    QFETCH(QString, operation);
    QFETCH(int, answer);
    QFETCH(WindowWatch, scenario);
    QSettings().setValue(u"watch/settleSeconds"_s, 1);
    QSettings().setValue(u"watch/intervalSeconds"_s, 0.2);
    const QString in = m_dir->filePath(u"扫描"_s);
    QVERIFY(QDir().mkpath(in));
    testsupport::SourceGuard guard;
    testsupport::writePdf(in + u"/a.pdf"_s, {.marker = u"a"_s});
    guard.add(in + u"/a.pdf"_s);
    setOperation(operation);
    m_prompter->folderAnswers = {in};
    m_prompter->chooseAnswer = answer;
    QTest::mouseClick(m_window->m_watchButton, Qt::LeftButton);
    BatchWindow* window = m_window.release();
    FakePrompter* prompter = m_prompter;
    scenario(window, prompter, in);
    m_window.reset(window);
    m_prompter = prompter;
    QVERIFY(guard.unchanged());
}

void TestBatchWindow::stopAfterCurrentJob()
{
    BatchWindow& w = *m_window;
    setOperation(u"optimize"_s);
    const QString shrinks = m_dir->filePath(u"s1.pdf"_s);
    testsupport::writePdf(shrinks, {.pages = 2, .duplicateImages = true});
    QStringList inputs{shrinks};
    for (int i = 2; i <= 8; ++i)
        inputs << pdf(u"s%1.pdf"_s.arg(i));
    w.addPaths(inputs);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QCOMPARE(w.m_items.at(0).state, u"正在处理"_s);
    QVERIFY(w.m_statusLine->text().startsWith(u"正在处理 "_s));
    // Files start in list order, as many at once as the machine has room for.
    QList<int> started;
    for (int i = 0; i < w.m_items.size(); ++i) {
        if (w.m_items.at(i).state == u"正在处理"_s)
            started << i;
    }
    QCOMPARE(started.size(), std::min(BatchRunner::room(), 8));
    QCOMPARE(started.last(), started.size() - 1);
    QTest::mouseClick(w.m_stopButton, Qt::LeftButton);
    QCOMPARE(w.m_statusLine->text(), u"当前任务完成后停止，已生成结果会保留。"_s);
    QCOMPARE(w.m_stopButton->text(), u"立即结束当前文件"_s);
    QVERIFY(w.m_stopButton->isEnabled());

    QVERIFY(waitIdle());
    QCOMPARE(w.m_items.at(0).state, u"处理完成"_s); // a plain success, with the saving
    // It says what was saved.
    QVERIFY2(w.m_items.at(0).detail.contains(
                 QRegularExpression(u"^已优化：\\d+ (字节|KB) → \\d+ (字节|KB)（减小 \\d+%）$"_s)),
             qPrintable(w.m_items.at(0).detail));
    // The running files finished; no new one started.
    QList<int> remaining;
    for (int i = 0; i < w.m_items.size(); ++i) {
        QCOMPARE(w.m_items.at(i).succeeded, started.contains(i));
        if (!started.contains(i)) {
            QCOMPARE(w.m_items.at(i).state, u"等待处理"_s);
            remaining << i;
        }
    }
    QCOMPARE(w.m_statusLine->text(), u"已停止。已生成结果保留，可继续处理待处理项。"_s);

    // The next start processes the remaining ones.
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QCOMPARE(w.m_jobs, remaining);
    QVERIFY(waitIdle());
    QCOMPARE(w.m_statusLine->text(),
             u"8 份文件 · 成功 8 · 失败 0 · 待处理 0 · 双击一行或按 Enter 查看详情"_s);
}

void TestBatchWindow::severalAtOnceMatchOneAtATime()
{
    // The same batch one file at a time and as many at once as the machine
    // allows: every row, result name and the report's items are the same.
    BatchWindow& w = *m_window;
    setOperation(u"rotate"_s);
    QStringList inputs;
    for (int i = 1; i <= 9; ++i)
        inputs << pdf(u"r%1.pdf"_s.arg(i), i % 3 + 1);
    testsupport::writeBytes(m_dir->filePath(u"r5.pdf"_s), "%PDF-1.7 broken");
    w.addPaths(inputs);
    int running = 0;
    int mostAtOnce = 0;
    connect(w.m_runner, &BatchRunner::jobStarted, this,
            [&] { mostAtOnce = std::max(mostAtOnce, ++running); });
    connect(w.m_runner, &BatchRunner::jobFinished, this, [&] { --running; });

    QList<QStringList> rows[2];
    QJsonArray reports[2];
    for (int pass = 0; pass < 2; ++pass) {
        w.m_runner->setMaxJobs(pass == 0 ? 1 : 0);
        w.m_outputEdit->setText(m_dir->filePath(u"out%1"_s.arg(pass)));
        mostAtOnce = 0;
        // Each job updates its own row: the rows are not rebuilt (nor the
        // sources looked at again), and the selection stays.
        w.m_fileTable->item(7, 1)->setData(Qt::UserRole + 7, pass);
        w.m_fileTable->selectRow(7);
        QTest::mouseClick(w.m_startButton, Qt::LeftButton);
        QVERIFY(waitIdle());
        QCOMPARE(mostAtOnce, pass == 0 ? 1 : std::min(BatchRunner::room(), 9));
        QCOMPARE(w.m_fileTable->item(7, 1)->data(Qt::UserRole + 7), QVariant(pass));
        QCOMPARE(w.m_fileTable->currentRow(), 7);
        for (const BatchItem& item : std::as_const(w.m_items))
            rows[pass] << QStringList{item.state, QFileInfo(item.output).fileName(), item.detail};
        const QString report = m_dir->filePath(u"report%1.json"_s.arg(pass));
        m_prompter->saveAnswers = {report};
        QTest::mouseClick(w.m_exportButton, Qt::LeftButton);
        QFile file(report);
        QVERIFY(file.open(QIODevice::ReadOnly));
        for (const QJsonValue& entry :
             QJsonDocument::fromJson(file.readAll()).object().value(u"items"_s).toArray()) {
            QJsonObject item = entry.toObject();
            item.insert(u"output"_s, QFileInfo(item.value(u"output"_s).toString()).fileName());
            reports[pass].append(item);
        }
    }
    QCOMPARE(rows[1], rows[0]);
    QCOMPARE(reports[1], reports[0]);
    QCOMPARE(rows[0].at(4).at(0), u"处理失败"_s);
    QCOMPARE(w.m_statusLine->text(), u"9 份文件 · 成功 8 · 失败 1 · 待处理 0"_s);
}

void TestBatchWindow::keyboard()
{
    BatchWindow& w = *m_window;
    setOperation(u"rotate"_s);
    w.addPaths({pdf(u"k1.pdf"_s), pdf(u"k2.pdf"_s), pdf(u"k3.pdf"_s)});
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));

    // Tab leaves the list instead of walking its cells.
    w.m_fileTable->setFocus();
    w.m_fileTable->setCurrentCell(0, 0);
    QTest::keyClick(w.m_fileTable, Qt::Key_Tab);
    QVERIFY(!w.m_fileTable->hasFocus());
    // The operation list is in the tab order.
    bool reached = false;
    for (QWidget* next = w.m_fileTable->nextInFocusChain(); next != w.m_fileTable && !reached;
         next = next->nextInFocusChain())
        reached = next == w.m_navigation;
    QVERIFY(reached);
    QVERIFY(w.m_navigation->focusPolicy() & Qt::TabFocus);

    // Delete removes the selected rows.
    w.m_fileTable->setFocus();
    w.m_fileTable->selectRow(1);
    QTest::keyClick(w.m_fileTable, Qt::Key_Delete);
    QCOMPARE(w.m_items.size(), 2);
    QCOMPARE(QFileInfo(w.m_items.at(1).input).fileName(), u"k3.pdf"_s);

    // After a run focus is in the list, not on the header's buttons.
    w.m_startButton->setFocus();
    QTest::keyClick(w.m_startButton, Qt::Key_Space);
    QVERIFY(waitIdle());
    QVERIFY(w.m_fileTable->hasFocus());
    // While running nothing is removed.
    w.m_running = true;
    QTest::keyClick(w.m_fileTable, Qt::Key_Delete);
    w.m_running = false;
    QCOMPARE(w.m_items.size(), 2);

    // The shortcuts the help lists.
    QCOMPARE(w.m_navigation->count(), 12);
    QTest::keyClick(&w, Qt::Key_9, Qt::ControlModifier);
    QCOMPARE(w.m_navigation->currentRow(), 8);
    QTest::keyClick(&w, Qt::Key_3, Qt::ControlModifier);
    QCOMPARE(w.m_navigation->currentRow(), 2);
    m_prompter->fileAnswers = {pdf(u"k4.pdf"_s)};
    QTest::keyClick(&w, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(w.m_items.size(), 3);
    QTest::keyClick(&w, Qt::Key_F1);
    QCOMPARE(m_prompter->messages.takeLast(), u"帮助与反馈"_s);
    QTest::keyClick(&w, Qt::Key_Return, Qt::ControlModifier);
    QVERIFY(w.m_running);
    QVERIFY(waitIdle());

    // Every control that takes focus shows it: the style sheet has a focus
    // rule for its kind, or for it by name where its own rule sets a border.
    const QString style = applicationStyleSheet();
    for (QWidget* widget : w.findChildren<QWidget*>()) {
        if (widget->focusPolicy() == Qt::NoFocus || !widget->isVisibleTo(&w) ||
            qobject_cast<QScrollBar*>(widget))
            continue;
        // The parts of a spin box or a combo box show the focus of the whole.
        const QWidget* parent = widget->parentWidget();
        if (parent && (parent->inherits("QAbstractSpinBox") || parent->inherits("QComboBox")))
            continue;
        const QString kind =
            QString::fromLatin1(widget->metaObject()->className()).section(u"::"_s, -1);
        const QString named = kind + u'#' + widget->objectName();
        const bool ownRule = !widget->objectName().isEmpty() && style.contains(named + u" {"_s);
        QVERIFY2(style.contains((ownRule ? named : kind) + u":focus"_s), qPrintable(named));
    }
}

void TestBatchWindow::dialogsCloseWithEscape()
{
    // The real boxes, answered with Escape: each closes and takes the way back.
    Prompter prompter;
    const auto escapeSoon = [] {
        QTimer::singleShot(200, [] {
            if (QWidget* box = QApplication::activeModalWidget())
                QTest::keyClick(box, Qt::Key_Escape);
        });
    };
    escapeSoon();
    QVERIFY(!prompter.confirm(m_window.get(), u"确认"_s, u"文本"_s, u"执行"_s, u"返回"_s));
    escapeSoon();
    QVERIFY(!prompter.messageWithAction(m_window.get(), u"帮助"_s, u"文本"_s, u"打开"_s));
    escapeSoon();
    prompter.message(m_window.get(), QMessageBox::Information, u"提示"_s, u"文本"_s);
    QVERIFY(!QApplication::activeModalWidget());
}

void TestBatchWindow::failuresToOpenAreSaid()
{
    // With no viewer or browser, every opening says what it tried to open.
    BatchWindow& w = *m_window;
    m_prompter->openWorks = false;
    setOperation(u"rotate"_s);
    w.addPaths({pdf(u"o.pdf"_s)});
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    const QString output = w.m_items.at(0).output;
    w.m_fileTable->selectRow(0);
    QTest::mouseClick(w.m_openResultButton, Qt::LeftButton);
    QCOMPARE(m_prompter->messages.takeLast(),
             u"无法打开|没有找到可以打开它的程序。文件位置：\n"_s + output);
    w.showItemDetails(0);
    QCOMPARE(m_prompter->messages.takeLast(),
             u"无法打开|没有找到可以打开它的程序。文件位置：\n"_s + output);
    QTest::mouseClick(w.m_openFolderButton, Qt::LeftButton);
    QCOMPARE(m_prompter->messages.takeLast(),
             u"无法打开|没有找到可以打开它的程序。文件位置：\n"_s + m_dir->filePath(u"out"_s));
    QTest::mouseClick(w.m_accountButton, Qt::LeftButton);
    QVERIFY(m_prompter->messages.takeLast().startsWith(
        u"无法打开|没有找到可以打开它的浏览器。网址：\nhttps://"_s));
}

void TestBatchWindow::checksBeforeRunning()
{
    BatchWindow& w = *m_window;
    setOperation(u"rotate"_s);
    w.addPaths({pdf(u"c1.pdf"_s, 3), pdf(u"c2.pdf"_s, 3)});
    // A range wrong as written stops before any worker starts.
    w.currentPanel()->findChild<QLineEdit*>(u"pages"_s)->setText(u"3-1,x"_s);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(!w.m_running);
    QCOMPARE(m_prompter->messages.takeLast(),
             u"检查页码|页码无效：3-1。请输入从 1 开始的页码，例如 1-3,5。"_s);
    QVERIFY(!QFileInfo::exists(m_dir->filePath(u"out"_s)) ||
            testsupport::folderEntries(m_dir->filePath(u"out"_s)).isEmpty());

    // A range right as written but past the pages fails in each job, and a
    // batch in which every file failed does not end in a full blue bar.
    w.currentPanel()->findChild<QLineEdit*>(u"pages"_s)->setText(u"9"_s);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    QVERIFY(w.m_items.at(0).failed && w.m_items.at(1).failed);
    QVERIFY(w.m_batchProgress->property("failed").toBool());
    // A change of the list starts the bar over.
    w.addPaths({pdf(u"c3.pdf"_s, 3)});
    QCOMPARE(w.m_batchProgress->value(), 0);
    QVERIFY(!w.m_batchProgress->property("failed").toBool());

    // Stopped during the last file, nothing is said to be pending.
    w.clearItems();
    w.currentPanel()->findChild<QLineEdit*>(u"pages"_s)->setText(u"1"_s);
    w.addPaths({pdf(u"c4.pdf"_s, 3)});
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QTest::mouseClick(w.m_stopButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    QCOMPARE(w.m_statusLine->text(), u"已停止。已生成结果保留。"_s);
}

void TestBatchWindow::endCurrentFileNow_data()
{
    QTest::addColumn<bool>("byClosing");
    QTest::addColumn<bool>("endNow"); // or let the current file finish
    QTest::addColumn<int>("pages");
    QTest::newRow("stop twice") << false << true << 12;
    QTest::newRow("close, ending the file now") << true << true << 12;
    QTest::newRow("close after the current file") << true << false << 2;
}

void TestBatchWindow::closeWhileTheBatchEnds_data()
{
    QTest::addColumn<int>("choice");
    QTest::addColumn<bool>("finished"); // the batch's end reaches the window meanwhile
    QTest::addColumn<bool>("closes");
    QTest::newRow("end now and close") << 0 << false << true;
    QTest::newRow("close after the current file") << 1 << false << true;
    QTest::newRow("go on") << 2 << false << false;
    // The question is taken back: what it asked about is settled.
    QTest::newRow("the batch ends while asked") << 2 << true << true;
}

void TestBatchWindow::closeWhileTheBatchEnds()
{
    // The batch finishes while the close question is open: the answer acts
    // at once, and the window never waits for a batch that has ended.
    QFETCH(int, choice);
    QFETCH(bool, finished);
    QFETCH(bool, closes);
    BatchWindow& w = *m_window;
    w.show();
    w.m_running = true;
    m_prompter->chooseAnswer = choice;
    m_prompter->whileChoosing = [&w, finished] {
        if (finished)
            w.onBatchFinished();
        else
            w.m_running = false;
    };
    QCOMPARE(w.close(), closes);
    m_prompter->whileChoosing = {};
    QCOMPARE(m_prompter->messages.size(), 1);
    QVERIFY(!w.m_stopRequested);
}

void TestBatchWindow::endCurrentFileNow()
{
    // A long recognition stands in for a page that runs for many minutes.
    QFETCH(bool, byClosing);
    QFETCH(bool, endNow);
    QFETCH(int, pages);
    BatchWindow& w = *m_window;
    setOperation(u"ocr"_s);
    QTemporaryDir models;
    QVERIFY(testsupport::fillModelsFolder(models.path()));
    field<QLineEdit>(w, u"ocr"_s, u"ocrModels"_s)->setText(models.path());
    field<QComboBox>(w, u"ocr"_s, u"ocrLanguage"_s)
        ->setCurrentIndex(field<QComboBox>(w, u"ocr"_s, u"ocrLanguage"_s)->findData(u"eng"_s));
    const QString scan = m_dir->filePath(u"long.pdf"_s);
    testsupport::writeDrawnPdf(
        scan, QList<testsupport::DrawnPage>(pages, {.lines = {u"A page that takes a while."_s}}));
    testsupport::SourceGuard guard;
    guard.add(scan);
    w.addPaths({scan});
    // As many more as run at once: one of them is still waiting at the close.
    for (int i = 0; i < BatchRunner::room(); ++i) {
        const QString next = m_dir->filePath(u"next%1.pdf"_s.arg(i));
        QVERIFY(QFile::copy(scan, next));
        w.addPaths({next});
    }
    const QString out = m_dir->filePath(u"out"_s);
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    // Recognition has begun: the worker holds its staging folder's lock.
    QVERIFY(
        QTest::qWaitFor([&] { return w.m_statusLine->text().startsWith(u"文字识别"_s); }, 60000));
    QVERIFY(!testsupport::folderEntries(out).filter(u".quorvin-batch-"_s).isEmpty());

    m_prompter->confirmAnswer = endNow;
    if (byClosing) {
        QSettings().remove(u"output"_s);
        m_prompter->chooseAnswer = 2; // "继续处理": nothing changes
        QVERIFY(!w.close());
        QCOMPARE(m_prompter->messages.takeLast(),
                 u"正在处理文件|立即结束并关闭/处理完当前文件后关闭/继续处理"_s);
        QVERIFY(w.m_running && !w.m_stopRequested);
        m_prompter->chooseAnswer = endNow ? 0 : 1;
        QVERIFY(!w.close()); // closes once the batch has stopped
        m_prompter->messages.removeLast();
        QVERIFY(!QSettings().contains(u"output"_s));
        const qsizetype asked = m_prompter->messages.size();
        QVERIFY(!w.close()); // asked only once
        QCOMPARE(m_prompter->messages.size(), asked);
        QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 60000);
        QVERIFY(QSettings().contains(u"output"_s));
    } else {
        QTest::mouseClick(w.m_stopButton, Qt::LeftButton);
        QTest::mouseClick(w.m_stopButton, Qt::LeftButton);
        QCOMPARE(m_prompter->messages.takeLast(), u"立即结束当前文件|立即结束"_s);
        QVERIFY(waitIdle(10000));
        QCOMPARE(w.m_statusLine->text(), u"已停止。已生成结果保留，可继续处理待处理项。"_s);
        QVERIFY(w.close());
    }
    QVERIFY(!w.m_running);
    QVERIFY(guard.unchanged());
    // The file that was waiting never started.
    QCOMPARE(w.m_items.last().state, u"等待处理"_s);
    if (!endNow) {
        QCOMPARE(w.m_items.at(0).state, u"处理完成"_s); // a clean recognition, its note shown
        QVERIFY(testsupport::folderEntries(out).contains(u"long-可搜索.pdf"_s));
        QVERIFY(!testsupport::folderEntries(out).contains(
            u"next%1-可搜索.pdf"_s.arg(BatchRunner::room() - 1)));
        return;
    }
    QCOMPARE(w.m_items.at(0).state, u"已停止"_s);
    QVERIFY(!w.m_items.at(0).failed && !w.m_items.at(0).succeeded);
    // Nothing published, and no staging folder left behind.
    QCOMPARE(testsupport::folderEntries(out), QStringList());
}

void TestBatchWindow::progressLines()
{
    // A stand-in worker that writes noise, split and impossible progress lines,
    // then fails without a result.
    BatchWindow& w = *m_window;
    const QString script = m_dir->filePath(u"fake-worker.sh"_s);
    testsupport::writeBytes(script,
                            "#!/bin/sh\ncat >/dev/null\n"
                            "printf 'warning: noise\\n{\"ocrProgress\":true,\"comp' >&2\n"
                            "sleep 0.3\n"
                            "printf 'leted\":1,\"total\":4}\\n' >&2\n"
                            "printf '{\"ocrProgress\":true,\"completed\":5,\"total\":4}\\n' >&2\n"
                            "sleep 0.5\n"
                            "printf '{\"ocrProgress\":true,\"completed\":4,\"total\":4,"
                            "\"message\":\"OCR 完成\"}\\n' >&2\n"
                            "sleep 1\nexit 3\n");
    QFile(script).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    w.setWorkerProgram(script);
    setOperation(u"rotate"_s);
    w.addPaths({pdf(u"p.pdf"_s)});
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(w.m_statusLine->text(), u"文字识别 1 / 1 份 · 当前文档 1 / 4 页"_s,
                              5000);
    QCOMPARE(w.m_batchProgress->maximum(), 100);
    QCOMPARE(w.m_batchProgress->value(), 25);
    QTRY_COMPARE_WITH_TIMEOUT(w.m_statusLine->text(), u"文字识别 1 / 1 份 · OCR 完成"_s, 5000);
    QVERIFY(waitIdle());
    QCOMPARE(w.m_items.at(0).state, u"处理失败"_s);
    QCOMPARE(w.m_items.at(0).detail, u"处理进程异常退出，请检查文件后重试。"_s);

    // A long line without a break is dropped beyond 64 KiB.
    QByteArray buffer(70000, 'x');
    QVERIFY(takeProgressLines(buffer).isEmpty());
    QVERIFY(buffer.isEmpty());
    buffer = QByteArray(1000, 'y');
    takeProgressLines(buffer);
    QCOMPARE(buffer.size(), 1000);

    // A worker that cannot be started.
    w.setWorkerProgram(m_dir->filePath(u"no-such-program"_s));
    QTest::mouseClick(w.m_retryButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    QVERIFY(w.m_items.at(0).detail.startsWith(u"无法启动处理进程："_s));
}

// Each output choice says what it makes and reaches the worker's request.
void TestBatchWindow::outputKindReachesTheWorker()
{
    BatchWindow& w = *m_window;
    const QString script = m_dir->filePath(u"recording-worker.sh"_s);
    const QString recorded = m_dir->filePath(u"request.json"_s);
    testsupport::writeBytes(script, "#!/bin/sh\ncat > '" + recorded.toUtf8() + "'\nexit 1\n");
    QFile(script).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    w.setWorkerProgram(script);
    setOperation(u"ocr"_s);
    QTemporaryDir models;
    QVERIFY(testsupport::fillModelsFolder(models.path()));
    field<QLineEdit>(w, u"ocr"_s, u"ocrModels"_s)->setText(models.path());
    w.addPaths({pdf(u"scan.pdf"_s)});
    const QList<std::pair<QString, QString>> choices{
        {u"pdf"_s, u"原页面保留"_s}, {u"docx"_s, u"Word 文档"_s}, {u"rebuilt"_s, u"重新排版"_s}};
    for (int index = 0; index < choices.size(); ++index) {
        field<QComboBox>(w, u"ocr"_s, u"ocrOutputKind"_s)->setCurrentIndex(index);
        QVERIFY(w.m_noteLabel->text().contains(choices.at(index).second));
        QCOMPARE(field<QCheckBox>(w, u"ocr"_s, u"keepText"_s)->isEnabled(), index == 0);
        QFile::remove(recorded);
        QTest::mouseClick(w.m_startButton, Qt::LeftButton);
        QVERIFY(waitIdle());
        QFile file(recorded);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject request = QJsonDocument::fromJson(file.readAll()).object();
        QCOMPARE(request.value(u"ocrOutput"_s).toString(), choices.at(index).first);
        QCOMPARE(request.value(u"operation"_s).toString(), u"ocr"_s);
        QCOMPARE(request.size(), 49);
    }
}

void TestBatchWindow::reportContentAndRefusals()
{
    BatchWindow& w = *m_window;
    setOperation(u"rotate"_s);
    const QString good = pdf(u"good.pdf"_s);
    const QString bad = m_dir->filePath(u"bad.pdf"_s);
    testsupport::writeBytes(bad, "%PDF-1.7 but nothing more");
    const QString pending = pdf(u"pending.pdf"_s);
    w.addPaths({good, bad});
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    w.addPaths({pending});

    // Neither a listed source nor a listed result may be replaced, however the
    // chosen name reaches it: letter case, a link, a linked folder, a hard link.
    testsupport::SourceGuard guard;
    guard.add(good);
    guard.add(w.m_items.at(0).output);
    QVERIFY(QFile::link(good, m_dir->filePath(u"link.json"_s)));
    QVERIFY(QFile::link(m_dir->path(), m_dir->filePath(u"linked-folder"_s)));
    QCOMPARE(::link(QFile::encodeName(good).constData(),
                    QFile::encodeName(m_dir->filePath(u"hard.json"_s)).constData()),
             0);
    m_prompter->saveAnswers = {good.toUpper(),
                               w.m_items.at(0).output,
                               m_dir->filePath(u"link.json"_s),
                               m_dir->filePath(u"linked-folder/good.pdf"_s),
                               m_dir->filePath(u"out/../good.pdf"_s),
                               m_dir->filePath(u"hard.json"_s)};
    const qsizetype refusals = m_prompter->saveAnswers.size();
    for (qsizetype i = 0; i < refusals; ++i)
        QTest::mouseClick(w.m_exportButton, Qt::LeftButton);
    QCOMPARE(m_prompter->messages.mid(m_prompter->messages.size() - refusals),
             QStringList(refusals, u"不能覆盖文档|请选择独立的报告文件名。"_s));
    QVERIFY(guard.unchanged());

    const QString reportPath = m_dir->filePath(u"report.json"_s);
    m_prompter->saveAnswers = {reportPath};
    QTest::mouseClick(w.m_exportButton, Qt::LeftButton);
    QCOMPARE(m_prompter->messages.takeLast(),
             u"报告已保存|报告已保存到：\n%1\n报告包含文件路径、处理设置和结果，不包含密码。"_s.arg(
                 reportPath));
    QFile file(reportPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.startsWith("{\n    \"createdAt\": \""));
    QVERIFY(text.contains("\n    \"items\": [\n        {\n            \"detail\": "));
    const QJsonObject report = QJsonDocument::fromJson(text).object();
    QCOMPARE(report.keys(), (QStringList{u"createdAt"_s, u"items"_s, u"operation"_s, u"product"_s,
                                         u"settings"_s, u"version"_s}));
    QCOMPARE(report.value(u"settings"_s).toObject(),
             (QJsonObject{{u"output"_s, m_dir->filePath(u"out"_s)},
                          {u"pages"_s, QString()},
                          {u"degrees"_s, 90}}));
    QCOMPARE(report.value(u"product"_s).toString(), u"QuorvinPDFBatch"_s);
    QCOMPARE(report.value(u"version"_s).toString(), u"0.1.0"_s);
    QCOMPARE(report.value(u"operation"_s).toString(), u"rotate"_s);
    QVERIFY(QDateTime::fromString(report.value(u"createdAt"_s).toString(), Qt::ISODate).isValid());
    QVERIFY(report.value(u"createdAt"_s).toString().endsWith(u'Z'));
    const QJsonArray items = report.value(u"items"_s).toArray();
    QCOMPARE(items.size(), 3);
    QCOMPARE(items.at(0).toObject().value(u"state"_s).toString(), u"处理完成"_s);
    QVERIFY(!items.at(0).toObject().value(u"output"_s).toString().isEmpty());
    QCOMPARE(items.at(1).toObject().value(u"output"_s).toString(), QString());
    QVERIFY(!items.at(1).toObject().value(u"detail"_s).toString().isEmpty());
    QCOMPARE(items.at(2).toObject(),
             (QJsonObject{{u"input"_s, QFileInfo(pending).canonicalFilePath()},
                          {u"state"_s, u"等待处理"_s},
                          {u"status"_s, u"waiting"_s},
                          {u"output"_s, QString()},
                          {u"detail"_s, QString()}}));
    QCOMPARE(items.at(0).toObject().value(u"status"_s).toString(), u"ok"_s);
    QCOMPARE(items.at(1).toObject().value(u"status"_s).toString(), u"failed"_s);

    // For office use: CSV in UTF-8 with a byte-order mark, the chosen
    // format's extension added to a name typed without one.
    m_prompter->saveAnswers = {m_dir->filePath(u"表格"_s)};
    m_prompter->chosenFilter = u"CSV 表格，可用 Excel 打开 (*.csv)"_s;
    QTest::mouseClick(w.m_exportButton, Qt::LeftButton);
    QFile csv(m_dir->filePath(u"表格.csv"_s));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QByteArray table = csv.readAll();
    QVERIFY(table.startsWith("\xEF\xBB\xBF"));
    const QStringList lines = QString::fromUtf8(table.mid(3)).split(u"\r\n"_s);
    QCOMPARE(lines.mid(0, 1), QStringList{u"操作,批量旋转"_s});
    QVERIFY(lines.contains(u"旋转角度,90"_s));
    const qsizetype header = lines.indexOf(u"文件,状态,结果,说明,status"_s);
    QVERIFY(header > 0);
    QCOMPARE(lines.at(header + 3),
             QFileInfo(pending).canonicalFilePath() + u",等待处理,,,waiting"_s);
    QVERIFY(lines.at(header + 2).startsWith(QFileInfo(bad).canonicalFilePath() + u",处理失败,,"_s));
    m_prompter->chosenFilter.clear();

    // A folder that cannot be written: the failure box and no file.
    m_prompter->saveAnswers = {u"/proc/quorvin-report.json"_s};
    QTest::mouseClick(w.m_exportButton, Qt::LeftButton);
    QCOMPARE(m_prompter->messages.takeLast(), u"报告保存失败|请检查输出权限和磁盘空间。"_s);
}

void TestBatchWindow::firstStartFitsTheScreen_data()
{
    QTest::addColumn<QRect>("available"); // the screen less its panels
    QTest::addColumn<QSize>("size");
    QTest::newRow("1366x768, a panel at the top") << QRect(0, 28, 1366, 740) << QSize(1318, 684);
    QTest::newRow("1920x1080, a panel at the bottom")
        << QRect(0, 0, 1920, 1040) << QSize(1600, 984);
    QTest::newRow("2560x1440") << QRect(0, 0, 2560, 1440) << QSize(1600, 1000);
    QTest::newRow("a second screen to the right") << QRect(1920, 0, 1366, 768) << QSize(1318, 712);
}

// Centred, with room for a title bar and frame, and no larger than used well.
void TestBatchWindow::firstStartFitsTheScreen()
{
    QFETCH(QRect, available);
    QFETCH(QSize, size);
    const QRect placed = firstStartGeometry(available);
    QCOMPARE(placed.size(), size);
    QVERIFY(available.contains(placed.adjusted(-24, -36, 24, 8)));
    QVERIFY(std::abs(placed.center().x() - available.center().x()) <= 1);
}

void TestBatchWindow::settingsAndHelp()
{
    BatchWindow& w = *m_window;
    // Every operation's settings, typed once; passwords too, which stay unsaved.
    const QList<std::tuple<QString, QString, QVariant>> typed{
        {u"ocr"_s, u"ocrModels"_s, u"/models/here"_s},
        {u"ocr"_s, u"ocrLanguage"_s, u"英文"_s},
        {u"ocr"_s, u"ocrDpi"_s, u"150 DPI"_s},
        {u"ocr"_s, u"ocrOutputKind"_s, u"重排 PDF"_s},
        {u"compress"_s, u"compressLevel"_s, u"极限压缩"_s},
        {u"compress"_s, u"targetSize"_s, 2.5},
        {u"split"_s, u"group"_s, 4},
        {u"split"_s, u"level"_s, 2},
        {u"split"_s, u"maxSize"_s, 25.5},
        {u"split"_s, u"blankThreshold"_s, 0.02},
        {u"split"_s, u"keepSeparators"_s, true},
        {u"split"_s, u"splitMode"_s, u"按书签"_s},
        {u"rotate"_s, u"degrees"_s, u"180°"_s},
        {u"rotate"_s, u"pages"_s, u"2-"_s},
        {u"extract"_s, u"pages"_s, u"1,3"_s},
        {u"encrypt"_s, u"newPassword"_s, u"do-not-store"_s}};
    const auto fieldOf = [](BatchWindow& window, const QString& id, const QString& name) {
        return field<QWidget>(window, id, name);
    };
    for (const auto& [id, name, value] : typed) {
        QWidget* widget = fieldOf(w, id, name);
        QVERIFY(widget->metaObject()->userProperty().write(widget, value));
    }
    w.m_sourcePasswordEdit->setText(u"do-not-store"_s);
    m_prompter->fileAnswers = {pdf(u"from-here.pdf"_s)};
    QTest::mouseClick(w.m_addFilesButton, Qt::LeftButton);
    w.resize(1000, 640);
    QVERIFY(w.close());
    QSettings settings;
    QCOMPARE(
        settings.allKeys(),
        (QStringList{u"compress/level"_s, u"compress/targetSize"_s, u"extract/pages"_s,
                     u"files/addedFrom"_s, u"ocr/dpi"_s, u"ocr/language"_s, u"ocr/models"_s,
                     u"ocr/output"_s, u"output"_s, u"rotate/degrees"_s, u"rotate/pages"_s,
                     u"split/blankThreshold"_s, u"split/group"_s, u"split/keepSeparators"_s,
                     u"split/level"_s, u"split/maxSize"_s, u"split/mode"_s, u"window/geometry"_s}));
    QCOMPARE(settings.value(u"output"_s).toString(), m_dir->filePath(u"out"_s));
    // The next window starts from them, where the last one was left; the
    // file dialog opens where files were last added from.
    BatchWindow next;
    next.setPrompter(std::make_unique<FakePrompter>());
    for (const auto& [id, name, value] : typed) {
        QWidget* widget = fieldOf(next, id, name);
        const QVariant restored = widget->metaObject()->userProperty().read(widget);
        QCOMPARE(restored.toString(), name == u"newPassword"_s ? QString() : value.toString());
    }
    QCOMPARE(next.size(), QSize(1000, 640));
    m_prompter->fileAnswers.clear();
    QTest::mouseClick(w.m_addFilesButton, Qt::LeftButton);
    QCOMPARE(m_prompter->openedAt, m_dir->path());

    // Help and about open their pages only through their own button.
    m_prompter->pressAction = false;
    QTest::mouseClick(w.m_helpButton, Qt::LeftButton);
    QVERIFY(m_prompter->opened.isEmpty());
    m_prompter->pressAction = true;
    QTest::mouseClick(w.m_helpButton, Qt::LeftButton);
    QTest::mouseClick(w.m_aboutButton, Qt::LeftButton);
    QTest::mouseClick(w.m_accountButton, Qt::LeftButton);
    QCOMPARE(m_prompter->messages,
             (QStringList{u"帮助与反馈"_s, u"帮助与反馈"_s, u"关于 Quorvin PDF 批量处理"_s}));
    QCOMPARE(m_prompter->opened.size(), 3);
    QCOMPARE(m_prompter->opened.at(0).path(), u"/help/"_s);
    QCOMPARE(m_prompter->opened.at(1).path(), u"/products/batch/"_s);
    QCOMPARE(m_prompter->opened.at(2).path(), u"/account/"_s);
    for (const QUrl& url : std::as_const(m_prompter->opened))
        QCOMPARE(url.scheme(), u"https"_s);
}

void TestBatchWindow::passwordsStayOutOfFiles()
{
    // The window starts its workers through a wrapper that records their
    // command line and environment: passwords travel only on standard input.
    BatchWindow& w = *m_window;
    const QString record = m_dir->filePath(u"record.txt"_s);
    const QString wrapper = testsupport::writeRecordingWrapper(m_dir->path(), record);
    w.setWorkerProgram(wrapper);
    setOperation(u"encrypt"_s);
    w.addPaths({pdf(u"p1.pdf"_s), pdf(u"p2.pdf"_s)});
    const QString secret = u"Kx5-机密-unique-7730"_s;
    field<QLineEdit>(w, u"encrypt"_s, u"newPassword"_s)->setText(secret);
    field<QLineEdit>(w, u"encrypt"_s, u"confirmPassword"_s)->setText(secret);
    w.m_sourcePasswordEdit->setText(secret + u"-owner"_s);
    w.m_items[1].password = secret + u"-row"_s;
    QTest::mouseClick(w.m_startButton, Qt::LeftButton);
    QVERIFY(waitIdle());
    QCOMPARE(w.m_items.at(0).state, u"处理完成"_s);
    const QString reportPath = m_dir->filePath(u"report.json"_s);
    m_prompter->saveAnswers = {reportPath};
    QTest::mouseClick(w.m_exportButton, Qt::LeftButton);
    QVERIFY(w.close());

    QStringList written{reportPath, QSettings().fileName(), record};
    const QString out = m_dir->filePath(u"out"_s);
    for (const QString& entry : testsupport::folderEntries(out))
        written << out + u'/' + entry;
    QCOMPARE(written.size(), 5);
    for (const QString& path : std::as_const(written)) {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        const QByteArray bytes = file.readAll();
        QVERIFY2(!bytes.contains(secret.toUtf8()), qPrintable(path));
        if (path == record) { // both workers went through the wrapper
            QCOMPARE(bytes.count("--worker"), 4);
            // Each is granted its lanes and told whose end it shares.
            QCOMPARE(bytes.count("QPB_LANES=1"), 2);
            const QByteArray parent =
                "QPB_PARENT_PID=" + QByteArray::number(QCoreApplication::applicationPid());
            QCOMPARE(bytes.count(parent), 2);
        }
    }
    QVERIFY(testsupport::inspectPdf(w.m_items.at(1).output, secret.toStdString()).ownerMatched);
}

void TestBatchWindow::resultReadBeforeTheEndStands_data()
{
    QTest::addColumn<bool>("published");
    QTest::newRow("ended after publishing") << true;
    QTest::newRow("ended before") << false;
}

// A worker prints its result once published, then frees its documents; ended
// in that time, its file is a result, not "no result".
void TestBatchWindow::resultReadBeforeTheEndStands()
{
    QFETCH(bool, published);
    const QString out = m_dir->filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    const QString result = out + u"/r-旋转.pdf"_s;
    const QString worker = m_dir->filePath(u"slow-worker.sh"_s);
    QByteArray script = "#!/bin/sh\nread request\n";
    if (published)
        script += "printf x > '" + QFile::encodeName(result) +
                  "'\nprintf '{\"files\":1,\"ok\":true,"
                  "\"output\":\"" +
                  result.toUtf8() + "\"}\\n'\n";
    script += "exec sleep 30\n";
    testsupport::writeBytes(worker, script);
    QFile::setPermissions(worker, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    BatchRunner runner;
    runner.setWorkerProgram(worker);
    JobOutcome outcome;
    bool finished = false;
    connect(&runner, &BatchRunner::jobFinished, this, [&](int, const JobOutcome& ended) {
        outcome = ended;
        finished = true;
    });
    JobRequest request;
    request.operation = findOperation(u"rotate"_s);
    request.inputs = {pdf(u"r.pdf"_s)};
    request.output = out;
    runner.start({request});
    if (published)
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(result); }, 10000));
    QTest::qWait(300);
    runner.endNow();
    QVERIFY(QTest::qWaitFor([&] { return finished; }, 10000));
    QCOMPARE(outcome.succeeded, published);
    QCOMPARE(outcome.state, published ? u"处理完成"_s : u"已停止"_s);
    QCOMPARE(outcome.output, published ? result : QString());
}

} // namespace batch

namespace batch {

void TestBatchWindow::everyBoxFitsASmallScreen()
{
    // A laptop's 1366×768 less the taskbar.
    const QRect available(0, 0, 1366, 728);
    QList<ShownBox> boxes = everyBoxShown();
    const QString longPath = u"/home/用户/文档/"_s + QString(u"很长的文件夹名称"_s).repeated(12) +
                             u"/2024年第三季度财务报表（最终版）.pdf"_s;
    boxes << ShownBox{u"处理详情"_s, longPath + u"：密码错误。"_s.repeated(40), {u"确定"_s}};
    for (const ShownBox& shown : std::as_const(boxes)) {
        MessageBox box(nullptr, QMessageBox::Information, shown.title, shown.text);
        for (const QString& button : shown.buttons)
            box.addButton(button, QDialogButtonBox::AcceptRole);
        box.fitTo(available);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        const QString what = shown.title + u": "_s + shown.text.left(40);
        QVERIFY2(box.width() <= available.width() && box.height() <= available.height(),
                 qPrintable(what));
        QCOMPARE(box.cutParts(), QStringList());
    }
}

} // namespace batch

QTEST_MAIN(batch::TestBatchWindow)
#include "tst_batchwindow.moc"
