// Runs a batch one job at a time, each job in a fresh worker process, driven
// entirely by QProcess signals: the window never waits for a worker.
#include "gui/batchwindow.h"

#include "jobframe/staging.h"
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

namespace {

constexpr qsizetype maxUnfinishedProgressLine = 65536;
const char* const handledProperty = "handled";

} // namespace

void BatchWindow::startBatch(bool retryFailedOnly)
{
    if (m_running || m_items.isEmpty())
        return;
    const OperationKind kind = currentOperation().kind;
    if (kind == OperationKind::Ocr) {
        const QString message = validateOcrOptions(buildOcrOptions());
        if (!message.isEmpty()) {
            m_prompter->message(this, QMessageBox::Warning, u"检查 OCR 语言包"_s, message);
            return;
        }
    }
    if (kind == OperationKind::Encrypt) {
        const QString password = m_newPasswordEdit->text();
        if (password.isEmpty() || password != m_confirmPasswordEdit->text() ||
            password.toUtf8().size() > maxNewPasswordBytes) {
            m_prompter->message(this, QMessageBox::Warning, u"检查密码"_s,
                                u"请填写一致的新密码，且 UTF-8 长度不超过 127 字节。"_s);
            return;
        }
    }
    if (kind == OperationKind::Extract || kind == OperationKind::Rotate) {
        // What can be checked without the documents is checked before any
        // worker starts; the pages themselves are checked by each job.
        const QString message = pageRangeSyntaxMessage(parsePageSpans(m_pageRangeEdit->text()));
        if (!message.isEmpty()) {
            m_prompter->message(this, QMessageBox::Warning, u"检查页码"_s, message);
            m_pageRangeEdit->setFocus();
            return;
        }
    }
    const QString output = m_outputEdit->text();
    if (QDir::isRelativePath(output) || !QDir().mkpath(output)) {
        m_prompter->message(this, QMessageBox::Warning, u"输出位置无效"_s,
                            u"请选择可写的绝对路径文件夹。"_s);
        return;
    }

    m_jobs.clear();
    if (kind == OperationKind::Merge) {
        if (m_items.size() < 2)
            return;
        m_jobs.append(0);
    } else {
        for (int i = 0; i < m_items.size(); ++i) {
            const BatchItem& item = m_items.at(i);
            if (!item.succeeded && (!retryFailedOnly || item.failed))
                m_jobs.append(i);
        }
    }
    if (m_jobs.isEmpty())
        return;
    setProgressFailed(false);
    m_running = true;
    m_stopRequested = false;
    m_endedNow = false;
    // The start button is about to be disabled; focus stays in the list
    // instead of moving on to the header's buttons.
    m_fileTable->setFocus();
    m_jobPosition = 0;
    m_stopButton->setEnabled(true);
    m_batchProgress->setRange(0, static_cast<int>(m_jobs.size()));
    m_batchProgress->setValue(0);
    refresh();
    runNextJob();
}

void BatchWindow::runNextJob()
{
    if (m_stopRequested || m_jobPosition >= m_jobs.size()) {
        m_running = false;
        m_stopButton->setText(u"停止"_s);
        // A batch in which every file failed does not end in a full blue bar.
        const bool allFailed =
            !m_jobs.isEmpty() && std::all_of(m_jobs.begin(), m_jobs.end(), [this](int index) {
                return index < m_items.size() && m_items.at(index).failed;
            });
        setProgressFailed(allFailed);
        refresh();
        const bool pending = std::any_of(m_items.begin(), m_items.end(), [](const BatchItem& item) {
            return !item.succeeded && !item.failed;
        });
        if (m_stopRequested)
            m_statusLine->setText(pending ? u"已停止。已生成结果保留，可继续处理待处理项。"_s
                                          : u"已停止。已生成结果保留。"_s);
        if (m_closeWhenIdle)
            QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    m_currentItem = m_jobs.at(m_jobPosition);
    const bool merge = currentOperation().kind == OperationKind::Merge;
    QStringList inputs;
    if (merge) {
        for (BatchItem& item : m_items) {
            inputs.append(item.input);
            item.state = u"正在合并"_s;
            item.failed = false;
        }
        m_statusLine->setText(u"正在合并 %1 份文件，请稍候…"_s.arg(m_items.size()));
    } else {
        BatchItem& item = m_items[m_currentItem];
        inputs.append(item.input);
        item.state = u"正在处理"_s;
        item.failed = false;
        m_statusLine->setText(u"正在处理 %1 / %2：%3"_s.arg(QString::number(m_jobPosition + 1),
                                                            QString::number(m_jobs.size()),
                                                            QFileInfo(item.input).fileName()));
    }
    refresh();

    auto* process = new QProcess(this);
    m_currentProcess = process;
    auto errorBuffer = std::make_shared<QByteArray>();
    const QByteArray request = toLine(toJson(buildRequest(inputs)));
    connect(process, &QProcess::started, this, [process, request] {
        process->write(request);
        process->closeWriteChannel();
    });
    // The buffer travels with the process's connection and dies with it.
    connect(process, &QProcess::readyReadStandardError, this,
            [this, process, errorBuffer] { readProgress(process, *errorBuffer); });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        finishJob(process, failureResult(u"无法启动处理进程："_s + process->errorString()), false);
    });
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus status) {
                const bool cleanExit = status == QProcess::NormalExit && exitCode == 0;
                const QByteArray text = process->readAllStandardOutput().trimmed();
                const QJsonObject parsed = QJsonDocument::fromJson(text).object();
                finishJob(process, parsed, cleanExit);
            });
    process->start(m_workerProgram, {u"--worker"_s});
}

void BatchWindow::readProgress(QProcess* process, QByteArray& buffer)
{
    buffer.append(process->readAllStandardError());
    qsizetype newline = 0;
    while ((newline = buffer.indexOf('\n')) >= 0) {
        const QByteArray line = buffer.left(newline);
        buffer.remove(0, newline + 1);
        QJsonObject object;
        if (!parseObjectLine(line, object) || !boolMember(object, u"ocrProgress"_s, false))
            continue;
        const int completed = intMember(object, u"completed"_s, 0);
        const int total = intMember(object, u"total"_s, 0);
        if (total <= 0 || completed < 0 || completed > total)
            continue;
        const int jobs = static_cast<int>(m_jobs.size());
        m_batchProgress->setRange(0, jobs * 100);
        m_batchProgress->setValue(completed * 100 / total + m_jobPosition * 100);
        if (!m_stopRequested) {
            const QString message = stringMember(object, u"message"_s);
            m_statusLine->setText(
                u"文字识别 %1 / %2 份 · "_s.arg(m_jobPosition + 1).arg(jobs) +
                (message.isEmpty() ? u"当前文档 %1 / %2 页"_s.arg(completed).arg(total) : message));
        }
    }
    if (buffer.size() > maxUnfinishedProgressLine)
        buffer.clear();
}

JobRequest BatchWindow::buildRequest(const QStringList& inputs) const
{
    return JobRequest{.operation = &currentOperation(),
                      .inputs = inputs,
                      .output = m_outputEdit->text(),
                      .password = m_sourcePasswordEdit->text(),
                      .pages = m_pageRangeEdit->text(),
                      .group = m_groupSpin->value(),
                      .degrees = m_rotationCombo->currentData().toInt(),
                      .newPassword = m_newPasswordEdit->text(),
                      .ocr = buildOcrOptions()};
}

void BatchWindow::finishJob(QProcess* process, const QJsonObject& result, bool cleanExit)
{
    if (process->property(handledProperty).toBool())
        return;
    process->setProperty(handledProperty, true);

    const QString output = stringMember(result, u"output"_s);
    const bool ok = cleanExit && boolMember(result, u"ok"_s, false) && QFileInfo::exists(output);
    QString message;
    if (ok) {
        message = stringMember(result, u"note"_s);
    } else {
        message = stringMember(result, u"error"_s, u"处理进程异常退出，请检查文件后重试。"_s);
    }
    const auto settle = [&](BatchItem& item) {
        if (!m_endedNow) {
            applyResult(item, ok, output, message);
            return;
        }
        // Neither done nor failed: the next start takes it again.
        item.succeeded = false;
        item.failed = false;
        item.output.clear();
        item.detail = u"已立即结束，未生成结果。"_s;
        item.state = u"已停止"_s;
    };
    if (currentOperation().kind == OperationKind::Merge) {
        for (BatchItem& item : m_items)
            settle(item);
    } else if (m_currentItem >= 0 && m_currentItem < m_items.size()) {
        settle(m_items[m_currentItem]);
    }
    if (m_endedNow) {
        // The ended worker could not remove its own staging folder.
        removeStaleStagingFolders(m_outputEdit->text());
        m_endedNow = false;
    }
    process->deleteLater();
    ++m_jobPosition;
    const int jobs = static_cast<int>(m_jobs.size());
    m_batchProgress->setRange(0, jobs * 100);
    m_batchProgress->setValue(m_jobPosition * 100);
    refresh();
    QTimer::singleShot(0, this, [this] { runNextJob(); });
}

void BatchWindow::applyResult(BatchItem& entry, bool ok, const QString& output,
                              const QString& message)
{
    entry.succeeded = ok;
    entry.failed = !ok;
    entry.output = ok ? output : QString();
    entry.detail = message;
    entry.state = !ok ? u"处理失败"_s : message.isEmpty() ? u"处理完成"_s : u"完成，请核对"_s;
}

void BatchWindow::requestStop()
{
    if (!m_running)
        return;
    if (m_stopRequested) {
        if (m_prompter->confirm(this, u"立即结束当前文件"_s,
                                u"当前文件将立即停止处理，不生成结果；已完成的文件不受影响。"_s,
                                u"立即结束"_s, u"继续等待"_s))
            endCurrentNow();
        return;
    }
    m_stopRequested = true;
    // A pathological page can take many minutes: the same button then ends it.
    m_stopButton->setText(u"立即结束当前文件"_s);
    m_statusLine->setText(u"当前任务完成后停止，已生成结果会保留。"_s);
}

void BatchWindow::endCurrentNow()
{
    m_stopRequested = true;
    // The worker may have finished while a question was open.
    if (m_running && m_currentProcess && !m_currentProcess->property(handledProperty).toBool()) {
        m_endedNow = true;
        m_stopButton->setEnabled(false);
        m_statusLine->setText(u"正在结束当前文件…"_s);
        m_currentProcess->kill();
    }
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
