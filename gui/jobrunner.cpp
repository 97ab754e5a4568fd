// Runs a batch through the batch runner, several files at once while the
// machine has room; the window never waits for a worker.
#include "gui/batchwindow.h"
#include "gui/panels/operationpanel.h"

#include "protocol/catalogue.h"
#include "protocol/ocroptions.h"
#include "protocol/protocol.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;

namespace batch {

bool BatchWindow::settingsReady()
{
    if (const std::optional<PanelProblem> problem = currentPanel()->problem()) {
        m_prompter->message(this, QMessageBox::Warning, problem->title, problem->message);
        if (problem->field)
            problem->field->setFocus();
        return false;
    }
    if (const QString problem = outputNameProblem(m_nameEdit->text()); !problem.isEmpty()) {
        m_prompter->message(this, QMessageBox::Warning, u"检查文件名"_s, problem);
        m_nameEdit->setFocus();
        return false;
    }
    const QString output = m_outputEdit->text();
    if (QDir::isRelativePath(output) || !QDir().mkpath(output)) {
        m_prompter->message(this, QMessageBox::Warning, u"输出位置无效"_s,
                            u"请选择可写的绝对路径文件夹。"_s);
        return false;
    }
    return true;
}

void BatchWindow::startBatch(bool retryFailedOnly)
{
    if (busy() || m_items.isEmpty() || !settingsReady())
        return;
    const OperationKind kind = currentOperation().kind;
    // Bates numbers go on from row to row: every row's pages must be known.
    const JobRequest settings = buildRequest({});
    if (kind == OperationKind::Stamp && settings.batesDigits > 0 &&
        std::any_of(m_items.begin(), m_items.end(),
                    [](const BatchItem& item) { return item.pages <= 0; })) {
        m_prompter->message(
            this, QMessageBox::Warning, u"Bates 编号"_s,
            u"Bates 编号按列表顺序连续，需要先知道每份文件的页数。请等列表中的页数显示完毕；有密码的文件请先设置密码。"_s);
        return;
    }
    const QString output = m_outputEdit->text();

    // Said once: results beside their sources are sources too when that
    // folder is added again.
    const bool beside =
        std::any_of(m_items.begin(), m_items.end(), [&output](const BatchItem& item) {
            return QFileInfo(item.input).absoluteDir() == QDir(output);
        });
    if (beside && !m_besideSaid) {
        m_besideSaid = true;
        m_prompter->message(
            this, QMessageBox::Information, u"结果与源文件在同一文件夹"_s,
            u"结果将保存在源文件旁（不会覆盖任何文件）。以后再添加这个文件夹时，结果也会被当作源文件加入列表。"_s);
    }

    const std::optional<bool> redo = retryFailedOnly ? false : redoStaleResults();
    if (!redo)
        return;
    const auto due = [&](const BatchItem& item) {
        return (!item.succeeded || (*redo && item.stale)) && !item.skipped &&
               (!retryFailedOnly || item.failed);
    };
    m_jobs.clear();
    // A merge, or pictures made one PDF: one job of every row.
    m_oneJob = oneJobForAll(buildRequest({}));
    if (m_oneJob) {
        if (m_items.size() >= (kind == OperationKind::Merge ? 2 : 1) &&
            std::any_of(m_items.begin(), m_items.end(), due))
            m_jobs.append(0);
    } else {
        for (int i = 0; i < m_items.size(); ++i) {
            if (due(m_items.at(i)))
                m_jobs.append(i);
        }
    }
    if (m_jobs.isEmpty())
        return;
    // What is made again shows nothing of what it was until it is done.
    for (const int row : m_oneJob ? allRows() : m_jobs)
        m_items[row].wait();
    setProgressFailed(false);
    m_running = true;
    m_stopRequested = false;
    m_jobProgress.fill(0, m_jobs.size());
    m_finishedJobs = 0;
    // The start button is about to be disabled; focus stays in the list
    // instead of moving on to the header's buttons.
    m_fileTable->setFocus();
    m_stopButton->setEnabled(true);
    m_batchProgress->setRange(0, static_cast<int>(m_jobs.size()) * 100);
    m_batchProgress->setValue(0);
    showOutcomes(allRows());

    QList<JobRequest> requests;
    if (m_oneJob) {
        requests.append(buildRequest(allRows()));
    } else {
        for (const int index : std::as_const(m_jobs))
            requests.append(buildRequest({index}));
        // Each row's first Bates number follows the pages of the rows above it.
        if (kind == OperationKind::Stamp && settings.batesDigits > 0) {
            for (JobRequest& request : requests) {
                const int row = request.sequence - 1;
                for (int above = 0; above < row; ++above)
                    request.batesStart += m_items.at(above).pages;
            }
        }
    }
    m_runner->setWorkerProgram(m_workerProgram);
    m_runner->start(requests);
}

std::optional<bool> BatchWindow::redoStaleResults()
{
    const auto stale = std::count_if(m_items.begin(), m_items.end(),
                                     [](const BatchItem& item) { return item.stale; });
    if (stale == 0)
        return false;
    const int choice = m_prompter->choose(
        this, u"设置已更改"_s,
        u"重新处理已完成的 %1 份文件？\n它们的结果是按更改前的设置生成的。重新处理会另存新结果，已有结果不会被覆盖。"_s
            .arg(stale),
        {u"重新处理"_s, u"只处理其余文件"_s, u"取消"_s});
    if (choice == 2)
        return std::nullopt;
    return choice == 0;
}

void BatchWindow::connectRunner()
{
    connect(m_runner, &BatchRunner::jobStarted, this, [this](int job) { onJobStarted(job); });
    connect(m_runner, &BatchRunner::jobProgress, this,
            [this](int job, int completed, int total, const QString& message) {
                onJobProgress(job, completed, total, message);
            });
    connect(m_runner, &BatchRunner::jobFinished, this,
            [this](int job, const JobOutcome& outcome) { onJobFinished(job, outcome); });
    connect(m_runner, &BatchRunner::finished, this, [this] { onBatchFinished(); });
}

void BatchWindow::onJobStarted(int job)
{
    if (m_oneJob) {
        for (BatchItem& item : m_items) {
            item.state = u"正在合并"_s;
            item.failed = false;
            item.output.clear();
            item.detail.clear();
        }
        m_statusLine->setText(u"正在合并 %1 份文件，请稍候…"_s.arg(m_items.size()));
        showOutcomes(allRows());
        return;
    }
    BatchItem& item = m_items[m_jobs.at(job)];
    item.state = u"正在处理"_s;
    item.failed = false;
    // A row processed again does not show the result it had.
    item.output.clear();
    item.detail.clear();
    if (!m_stopRequested)
        m_statusLine->setText(u"正在处理 %1 / %2：%3"_s.arg(QString::number(job + 1),
                                                            QString::number(m_jobs.size()),
                                                            QFileInfo(item.input).fileName()));
    showOutcomes({m_jobs.at(job)});
}

QList<int> BatchWindow::allRows() const
{
    QList<int> rows;
    for (int row = 0; row < m_items.size(); ++row)
        rows.append(row);
    return rows;
}

void BatchWindow::showBatchProgress()
{
    int value = m_finishedJobs * 100;
    for (const int percent : std::as_const(m_jobProgress))
        value += percent;
    m_batchProgress->setRange(0, static_cast<int>(m_jobs.size()) * 100);
    m_batchProgress->setValue(value);
}

void BatchWindow::onJobProgress(int job, int completed, int total, const QString& message)
{
    if (job < 0 || job >= m_jobProgress.size())
        return;
    m_jobProgress[job] = completed * 100 / total;
    showBatchProgress();
    if (!m_stopRequested) {
        m_statusLine->setText(
            u"文字识别 %1 / %2 份 · "_s.arg(job + 1).arg(m_jobs.size()) +
            (message.isEmpty() ? u"当前文档 %1 / %2 页"_s.arg(completed).arg(total) : message));
    }
}

JobRequest BatchWindow::buildRequest(const QList<int>& rows) const
{
    JobRequest request;
    request.operation = &currentOperation();
    for (const int row : rows) {
        request.inputs.append(m_items.at(row).input);
        request.passwords.append(m_items.at(row).password);
    }
    request.output = m_outputEdit->text();
    request.password = m_sourcePasswordEdit->text();
    // A merge's file name may hold placeholders too: {name} is "合并文档".
    request.outputName = m_nameEdit->text();
    request.sequence = rows.isEmpty() ? 1 : rows.first() + 1;
    currentPanel()->fillRequest(request);
    return request;
}

void BatchWindow::onJobFinished(int job, const JobOutcome& outcome)
{
    const auto settle = [&outcome](BatchItem& item) {
        item.succeeded = outcome.succeeded;
        item.failed = outcome.failed;
        item.skipped = outcome.skipped;
        item.output = outcome.output;
        item.detail = outcome.detail;
        item.state = outcome.state;
    };
    QList<int> rows;
    if (m_oneJob) {
        for (BatchItem& item : m_items)
            settle(item);
        rows = allRows();
    } else if (job >= 0 && job < m_jobs.size()) {
        settle(m_items[m_jobs.at(job)]);
        rows = {m_jobs.at(job)};
    }
    if (job >= 0 && job < m_jobProgress.size())
        m_jobProgress[job] = 0;
    ++m_finishedJobs;
    showBatchProgress();
    showOutcomes(rows);
}

void BatchWindow::onBatchFinished()
{
    m_running = false;
    // A question about closing during the batch asks about nothing now.
    if (m_askingToClose)
        m_prompter->withdraw();
    m_stopButton->setText(u"停止"_s);
    // A batch in which every file failed does not end in a full blue bar.
    const bool allFailed =
        !m_jobs.isEmpty() && std::all_of(m_jobs.begin(), m_jobs.end(), [this](int index) {
            return index < m_items.size() && m_items.at(index).failed;
        });
    setProgressFailed(allFailed);
    updateControls();
    const bool pending = std::any_of(m_items.begin(), m_items.end(), [](const BatchItem& item) {
        return !item.succeeded && !item.failed && !item.skipped;
    });
    if (m_stopRequested) {
        m_statusLine->setText(pending ? u"已停止。已生成结果保留，可继续处理待处理项。"_s
                                      : u"已停止。已生成结果保留。"_s);
    } else if (!m_detailsHinted &&
               std::any_of(m_items.begin(), m_items.end(),
                           [](const BatchItem& item) { return !item.detail.isEmpty(); })) {
        // Said once: where a reason or a note can be read in full.
        m_detailsHinted = true;
        m_statusLine->setText(m_statusLine->text() + u" · 双击一行或按 Enter 查看详情"_s);
    }
    if (m_closeWhenIdle)
        QTimer::singleShot(0, this, [this] { close(); });
}

void BatchWindow::requestStop()
{
    if (!m_running)
        return;
    if (m_stopRequested) {
        if (m_prompter->confirm(this, u"立即结束当前文件"_s,
                                u"正在处理的文件将立即停止，不生成结果；已完成的文件不受影响。"_s,
                                u"立即结束"_s, u"继续等待"_s))
            endCurrentNow();
        return;
    }
    m_stopRequested = true;
    m_runner->stop();
    // A pathological page can take many minutes: the same button then ends it.
    m_stopButton->setText(u"立即结束当前文件"_s);
    m_statusLine->setText(u"当前任务完成后停止，已生成结果会保留。"_s);
}

void BatchWindow::endCurrentNow()
{
    m_stopRequested = true;
    if (!m_running)
        return;
    m_stopButton->setEnabled(false);
    m_statusLine->setText(u"正在结束当前文件…"_s);
    m_runner->endNow();
}

void BatchWindow::resetProgress()
{
    if (m_running)
        return;
    m_batchProgress->setRange(0, 1);
    m_batchProgress->setValue(0);
    setProgressFailed(false);
}

void BatchWindow::setProgressFailed(bool failed)
{
    if (m_batchProgress->property("failed").toBool() == failed)
        return;
    m_batchProgress->setProperty("failed", failed);
    m_batchProgress->style()->unpolish(m_batchProgress);
    m_batchProgress->style()->polish(m_batchProgress);
}

} // namespace batch
