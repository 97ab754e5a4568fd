// The main window: operation navigation, file list, per-operation settings,
// the job runner that drives one worker process at a time, and the report.
#pragma once

#include "gui/documentfacts.h"

#include "gui/prompter.h"
#include "protocol/request.h"
#include "runner/batchrunner.h"
#include "runner/folderwatch.h"

#include <QDateTime>

#include <QJsonObject>
#include <QList>
#include <QMainWindow>
#include <QPointer>

#include <memory>

class QCoreApplication;
namespace batch {
class PagePreview;
}
class QThreadPool;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProcess;
class QProgressBar;
class QScrollArea;
class QPushButton;
class QSpinBox;
class QStackedWidget;
class QTableWidget;

namespace batch {

class OperationPanel;

QString applicationStyleSheet();
// Qt's own Chinese texts ("确定", "取消", the file dialogs), from Debian's
// qt6-translations-l10n; false when they are not installed.
bool installQtChinese(QCoreApplication& application);

struct BatchItem
{
    QString input;
    QString output;
    QString detail;
    QString state;
    bool succeeded = false;
    bool failed = false;
    bool skipped = false; // it needed nothing done
    bool stale = false;   // succeeded, with settings changed since
    QString password;     // the row's own source password, over the shared one; never saved
    // Read once in the background after it is added (again once its password is given).
    qint64 size = 0;
    int pages = 0;          // 0 while unknown
    bool encrypted = false; // shown with a lock
    bool factsRead = false;

    // Back to waiting, with no outcome and no result; the file, its own
    // password and what was read of it stay.
    void wait();
};

// A row's pages and size as the list shows them ("12 页 · 1.2 MB"), "…" until read.
QString factsText(const BatchItem& item);

// The first start's window on a screen whose free area is `available`:
// centred, as large as it is used well, with room for the frame around it.
QRect firstStartGeometry(const QRect& available);

class BatchWindow : public QMainWindow
{
    Q_OBJECT
public:
    BatchWindow();
    ~BatchWindow() override;

    // Test hooks: the program started for each job, and the desktop's answers.
    void setWorkerProgram(const QString& program) { m_workerProgram = program; }
    void setPrompter(std::unique_ptr<Prompter> prompter) { m_prompter = std::move(prompter); }

    void addPaths(const QStringList& paths);
    // Files another start of the program handed over: the window comes
    // forward and adds them, and starts nothing; while a batch runs it says
    // which were not added.
    void receiveHandedFiles(const QStringList& paths);

protected:
    void closeEvent(QCloseEvent* event) override;
    // Asked when the window is closed during a batch; true when it may close now.
    bool mayCloseDuringBatch();
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    friend class TestBatchWindow;
    friend class ScreenshotTour;

    void buildWidgets();
    // Where it was left, or where firstStartGeometry says; and remembering it.
    void placeOnScreen();
    void saveWindowState() const;
    QWidget* buildHeader();
    QWidget* buildDropZone();
    QWidget* buildSettings();
    QPushButton* makeButton(const QString& text, const QString& iconName);
    void connectSignals();
    // Ctrl+O, Ctrl+Shift+O, Ctrl+Enter, Ctrl+1 … Ctrl+9 and F1, as the help lists them.
    void connectShortcuts();
    const Operation& currentOperation() const;

    // Settings: the current operation's panel and its note.
    OperationPanel* currentPanel() const;
    void updateOperationPanel();
    // Every row back to waiting, or only the failed ones.
    void resetResults(bool failedOnly = false);
    // Rebuilds every row, for a changed list; the sizes were read when the
    // files were added.
    void refresh();
    // Shows what became of these rows' files, touching nothing else.
    void showOutcomes(const QList<int>& rows);
    void showOutcome(int row);
    QList<int> allRows() const;
    void updateControls();
    void updateRowButtons();
    void onOperationChanged(int row);
    void onSettingChanged();
    QString nameKey() const;
    void showNameField();
    void showPreview();
    void syncPreview();
    void chooseFolderInto(QLineEdit* edit, const QString& caption);
    void chooseOutputFolder();
    void openOutputFolder();

    // File list.
    void chooseFiles();
    void chooseFolder();
    void removeSelected();
    void clearItems();
    void moveCurrent(int delta);
    // Moves these rows, in their order, to stand before row `before`.
    void moveRows(const QList<int>& rows, int before);
    // Sorts the list by a column's text (the merge order only after asking).
    void sortByColumn(int column);
    void readFactsLater(const QStringList& inputs, const QString& password = QString());
    void takeFacts(const QString& input, const DocumentFacts& facts);
    bool eventFilter(QObject* watched, QEvent* event) override;

    // Job runner.
    // The settings checked as a start needs them; false, having said why, when not.
    bool settingsReady();
    void startBatch(bool retryFailedOnly);
    // Whether results made with settings changed since are made again: asked
    // once per start. Nothing when the user cancelled.
    std::optional<bool> redoStaleResults();
    void connectRunner();
    void onJobStarted(int job);
    void onJobProgress(int job, int completed, int total, const QString& message);
    void onJobFinished(int job, const JobOutcome& outcome);
    void onBatchFinished();
    void showBatchProgress();
    // The request for these rows' files, each with its own password where it has one.
    JobRequest buildRequest(const QList<int>& rows) const;
    void requestStop();
    // Ends the running worker at once; its file publishes nothing.
    void endCurrentNow();
    // Back to an empty bar, as the list changed since the last batch.
    void resetProgress();
    // After the list changed: outcomes of a merge and the progress start over.
    void listChanged();
    void setProgressFailed(bool failed);
    // Opens `url`; when nothing can, says so with the address or path to copy.
    void openExternally(const QUrl& url);

    // Watch folder: every file arriving in a folder processed with the settings.
    QWidget* buildWatchBanner();
    void connectWatch();
    // True while a batch runs or a folder is watched: the settings and the list are locked.
    bool busy() const { return m_running || m_watching; }
    void startWatching();
    // The watch that was on when the program last ended, started again;
    // `attempt` counts the waits for a folder not there yet.
    void resumeWatching(int attempt = 0);
    void beginWatch(const QString& folder, bool newOnly);
    void onWatchedFileStarted(const QString& path);
    void onWatchedFileFinished(const QString& path, const JobOutcome& outcome);
    void onWatchFinished(const QString& failure);
    void showWatchState();
    // Results, report, help and about.
    void showItemDetails(int row);
    // Asks for a password that these rows' files open with; they go back to waiting.
    void setRowPassword(const QList<int>& rows);
    QList<int> selectedRows() const;
    void openSelectedResult();
    void exportReport();
    void openAccountPage();
    void showHelp();
    void showAbout();

    QList<BatchItem> m_items;
    int m_sortColumn = -1;
    bool m_sortDescending = false;
    QList<int> m_jobs;
    int m_operationIndex = 0;
    bool m_detailsHinted = false;
    bool m_besideSaid = false; // that results go beside their sources
    QList<int> m_jobProgress;  // per job, percent of its pages while it runs
    int m_finishedJobs = 0;
    bool m_running = false;
    bool m_oneJob = false;        // the running batch is one job of every row
    bool m_askingToClose = false; // the close question is open
    bool m_stopRequested = false;
    bool m_closeWhenIdle = false;
    BatchRunner* m_runner = nullptr;
    FolderWatch* m_watch = nullptr;
    bool m_watching = false;
    bool m_watchList = false; // the list shows a watch's files; its report is the journal
    QDateTime m_lastCheck;
    QString m_watchTrouble;

    std::unique_ptr<Prompter> m_prompter;
    // Reads each added file's size, pages and protection off the window's thread.
    std::unique_ptr<QThreadPool> m_factsReader;
    QString m_workerProgram;

    QListWidget* m_navigation = nullptr;
    QTableWidget* m_fileTable = nullptr;
    QStackedWidget* m_viewStack = nullptr;
    QWidget* m_settings = nullptr;
    QList<OperationPanel*> m_panels; // one per operation, in catalogue order
    QScrollArea* m_settingsScroll = nullptr;
    QLabel* m_titleLabel = nullptr;
    QLabel* m_descriptionLabel = nullptr;
    QLabel* m_noteLabel = nullptr;
    QLabel* m_statusLine = nullptr;
    QLineEdit* m_outputEdit = nullptr;
    QPushButton* m_previewButton = nullptr;
    PagePreview* m_preview = nullptr;
    QLabel* m_nameLabel = nullptr;
    QLineEdit* m_nameEdit = nullptr;
    QLineEdit* m_sourcePasswordEdit = nullptr;
    QProgressBar* m_batchProgress = nullptr;
    QPushButton* m_addFilesButton = nullptr;
    QPushButton* m_addFolderButton = nullptr;
    QPushButton* m_removeButton = nullptr;
    QPushButton* m_clearButton = nullptr;
    QPushButton* m_upButton = nullptr;
    QPushButton* m_downButton = nullptr;
    QPushButton* m_browseOutputButton = nullptr;
    QPushButton* m_openFolderButton = nullptr;
    QPushButton* m_openResultButton = nullptr;
    QPushButton* m_startButton = nullptr;
    QPushButton* m_stopButton = nullptr;
    QPushButton* m_retryButton = nullptr;
    QPushButton* m_exportButton = nullptr;
    // Header and drop-zone buttons.
    QPushButton* m_accountButton = nullptr;
    QPushButton* m_helpButton = nullptr;
    QPushButton* m_aboutButton = nullptr;
    QPushButton* m_choosePdfButton = nullptr;
    QLabel* m_dropTitle = nullptr;
    QLabel* m_dropHint = nullptr;
    QPushButton* m_watchButton = nullptr;
    QWidget* m_watchBanner = nullptr;
    QLabel* m_watchLabel = nullptr;
    QCheckBox* m_autostartCheck = nullptr;
    QPushButton* m_stopWatchButton = nullptr;
};

} // namespace batch
