// The window's watch folder: arriving files become rows as they are done,
// under a banner that says what is watched and when it was last read.
#include "gui/batchwindow.h"
#include "gui/panels/operationpanel.h"

#include "engine/platformlogin.h"
#include "protocol/catalogue.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// Rows kept in the list while watching; the journal keeps every file.
constexpr qsizetype maxWatchRows = maxSources;
// How long a watch resumed at start waits for its folder: 20 × 15 s.
constexpr int resumeAttempts = 20;
constexpr int resumeRetryMs = 15000;

} // namespace

QWidget* BatchWindow::buildWatchBanner()
{
    m_watchBanner = new QWidget;
    m_watchBanner->setObjectName(u"watchBanner"_s);
    m_watchBanner->setAttribute(Qt::WA_StyledBackground);
    auto* row = new QHBoxLayout(m_watchBanner);
    row->setContentsMargins(12, 6, 6, 6);
    m_watchLabel = new QLabel;
    m_watchLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(m_watchLabel, 1);
    m_autostartCheck = new QCheckBox(u"开机时启动并继续监视"_s);
    m_autostartCheck->setChecked(startsAtLogin());
    row->addWidget(m_autostartCheck);
    m_stopWatchButton = makeButton(u"停止监视"_s, QString());
    row->addWidget(m_stopWatchButton);
    m_watchBanner->setVisible(false);
    return m_watchBanner;
}

void BatchWindow::connectWatch()
{
    connect(m_watchButton, &QPushButton::clicked, this, [this] { startWatching(); });
    connect(m_stopWatchButton, &QPushButton::clicked, this, [this] {
        QSettings().setValue(u"watch/active"_s, false);
        m_stopWatchButton->setEnabled(false);
        m_watchTrouble = u"正在停止：正在处理的文件完成后停止监视。"_s;
        showWatchState();
        m_watch->stop();
    });
    connect(m_autostartCheck, &QCheckBox::toggled, this, [this](bool on) {
        const QString failure = setStartAtLogin(on, QCoreApplication::applicationFilePath());
        if (failure.isEmpty())
            return;
        m_prompter->message(this, QMessageBox::Warning, u"开机启动"_s, failure);
        const QSignalBlocker blocker(m_autostartCheck);
        m_autostartCheck->setChecked(startsAtLogin());
    });
    connect(m_watch, &FolderWatch::fileStarted, this,
            [this](const QString& path) { onWatchedFileStarted(path); });
    connect(m_watch, &FolderWatch::fileFinished, this,
            [this](const QString& path, const JobOutcome& outcome) {
                onWatchedFileFinished(path, outcome);
            });
    connect(m_watch, &FolderWatch::checked, this, [this](const QDateTime& when) {
        m_lastCheck = when;
        showWatchState();
    });
    connect(m_watch, &FolderWatch::trouble, this, [this](const QString& message) {
        m_watchTrouble = message;
        showWatchState();
    });
    connect(m_watch, &FolderWatch::finished, this,
            [this](const QString& failure) { onWatchFinished(failure); });
}

void BatchWindow::startWatching()
{
    if (busy() || !settingsReady())
        return;
    const QString folder = m_prompter->existingDirectory(
        this, u"选择要监视的文件夹"_s, QSettings().value(u"watch/folder"_s).toString());
    if (folder.isEmpty())
        return;
    const int existing =
        m_prompter->choose(this, u"监视文件夹"_s,
                           u"新放入文件夹的文件会按当前设置自动处理，结果保存到输出文件夹。"
                           u"文件夹中已有的文件也处理吗？"_s,
                           {u"全部处理"_s, u"只处理新文件"_s, u"取消"_s});
    if (existing < 0 || existing > 1)
        return;
    const auto pending = std::count_if(m_items.begin(), m_items.end(), [](const BatchItem& item) {
        return !item.succeeded && !item.failed && !item.skipped;
    });
    if (pending > 0 &&
        !m_prompter->confirm(
            this, u"监视文件夹"_s,
            u"列表将显示监视到的文件，其中 %1 份尚未处理的文件会从列表中移除。"_s.arg(pending),
            u"开始监视"_s, u"取消"_s))
        return;
    beginWatch(folder, existing == 1);
}

void BatchWindow::resumeWatching(int attempt)
{
    QSettings settings;
    const QString id = settings.value(u"watch/operation"_s).toString();
    const auto found =
        std::find_if(operations().begin(), operations().end(),
                     [&id](const Operation& operation) { return operation.id == id; });
    if (busy() || found == operations().end())
        return;
    m_navigation->setCurrentRow(int(found - operations().begin()));
    // At login a network share may come a little after the program: it is
    // waited for a while before the watch is given up.
    const QString folder = settings.value(u"watch/folder"_s).toString();
    if (!QFileInfo(folder).isDir() && attempt < resumeAttempts) {
        m_statusLine->setText(u"等待被监视的文件夹 %1 可以访问，之后继续监视…"_s.arg(
            QDir::toNativeSeparators(folder)));
        QTimer::singleShot(resumeRetryMs, this, [this, attempt] { resumeWatching(attempt + 1); });
        return;
    }
    // Settings that no longer hold (a password, which is never kept) are said
    // as at any start; the watch stays off until it is started again.
    settings.setValue(u"watch/active"_s, false);
    if (settingsReady())
        beginWatch(folder, settings.value(u"watch/newOnly"_s).toBool());
}

void BatchWindow::beginWatch(const QString& folder, bool newOnly)
{
    // The times are settings of their own, for scanners that pause long
    // between pages; the defaults suit most.
    const QSettings stored;
    WatchSettings settings;
    settings.folder = QDir::fromNativeSeparators(folder);
    settings.newOnly = newOnly;
    settings.settleMs =
        std::max(minSettleMs, int(stored.value(u"watch/settleSeconds"_s, 5.0).toDouble() * 1000));
    settings.intervalMs = std::max(
        minIntervalMs, int(stored.value(u"watch/intervalSeconds"_s, 2.0).toDouble() * 1000));
    m_watch->setWorkerProgram(m_workerProgram);
    if (const QString refused = m_watch->start(settings, buildRequest({})); !refused.isEmpty()) {
        m_prompter->message(this, QMessageBox::Warning, u"无法监视文件夹"_s, refused);
        return;
    }
    QSettings remembered;
    remembered.setValue(u"watch/active"_s, true);
    remembered.setValue(u"watch/folder"_s, folder);
    remembered.setValue(u"watch/newOnly"_s, newOnly);
    remembered.setValue(u"watch/operation"_s, currentOperation().id);
    m_watching = true;
    m_items.clear();
    listChanged();
    m_watchList = true;
    m_lastCheck = QDateTime();
    m_watchTrouble.clear();
    m_stopWatchButton->setEnabled(true);
    m_watchBanner->setVisible(true);
    showWatchState();
    updateControls();
}

void BatchWindow::onWatchedFileStarted(const QString& path)
{
    // The oldest finished rows make way; the journal and its report keep them.
    while (m_items.size() >= maxWatchRows) {
        const auto done = std::find_if(m_items.begin(), m_items.end(), [](const BatchItem& item) {
            return item.succeeded || item.failed || item.skipped;
        });
        if (done == m_items.end())
            break;
        m_items.erase(done);
    }
    BatchItem item;
    item.input = path;
    item.wait();
    item.state = u"正在处理"_s;
    m_items.append(item);
    readFactsLater({path});
    refresh();
    m_fileTable->scrollToBottom();
}

void BatchWindow::onWatchedFileFinished(const QString& path, const JobOutcome& outcome)
{
    // The row its start added; a file refused before any job has none yet.
    auto row = std::find_if(m_items.rbegin(), m_items.rend(), [&path](const BatchItem& item) {
        return item.input == path && item.state == u"正在处理"_s;
    });
    if (row == m_items.rend()) {
        onWatchedFileStarted(path);
        row = m_items.rbegin();
    }
    row->succeeded = outcome.succeeded;
    row->failed = outcome.failed;
    row->skipped = outcome.skipped;
    row->output = outcome.output;
    row->detail = outcome.detail;
    row->state = outcome.state;
    showOutcomes({int(std::distance(row, m_items.rend())) - 1});
}

void BatchWindow::onWatchFinished(const QString& failure)
{
    m_watching = false;
    m_watchBanner->setVisible(false);
    if (!failure.isEmpty()) {
        QSettings().setValue(u"watch/active"_s, false);
        m_prompter->message(this, QMessageBox::Warning, u"监视已停止"_s, failure);
    }
    updateControls();
    m_statusLine->setText(u"已停止监视。"_s + m_statusLine->text());
}

void BatchWindow::showWatchState()
{
    const QString folder = QDir::toNativeSeparators(m_watch->settings().folder);
    const QString checked = m_lastCheck.isValid()
                                ? u"（上次检查 %1）"_s.arg(m_lastCheck.toString(u"HH:mm:ss"_s))
                                : QString();
    m_watchLabel->setText(u"正在监视 %1%2"_s.arg(folder, checked) +
                          (m_watchTrouble.isEmpty() ? QString() : u"\n"_s + m_watchTrouble));
}

} // namespace batch
