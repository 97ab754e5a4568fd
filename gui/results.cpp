// Acting on outcomes: details, opening results, the JSON report; and the
// header's account, help and about entries.
#include "gui/batchwindow.h"

#include "protocol/catalogue.h"
#include "protocol/protocol.h"
#include "runner/sources.h"

#include <algorithm>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QSaveFile>
#include <QTableWidget>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

const QString accountPage = u"https://account.quorvin.cn/account/"_s;
const QString helpPage = u"https://www.quorvin.cn/help/"_s;
const QString productPage = u"https://www.quorvin.cn/products/batch/"_s;

const QString helpText =
    u"1. 选择处理类型并添加 PDF\n2. 确认文件顺序、参数和输出位置\n3. 开始处理，完成后打开结果\n\n"
    u"密码仅用于当前批次，不会写入设置或结果报告。停止会在当前文件完成后生效，再次点击可立即结束当"
    u"前文件（不生成结果）；合并视为一个完整任务。\n\n"
    u"快捷键：Ctrl+O 添加文件 · Ctrl+Shift+O 添加文件夹 · Ctrl+Enter 开始处理 · "
    u"Ctrl+1 至 Ctrl+9 按左侧顺序切换处理类型 · Enter 查看所选行的详情 · Delete 移除所选文件 · F1 帮助"_s;

const QString aboutText = u"Quorvin PDF 批量处理 0.1.0\n\n免费使用 · 本机处理 · 不添加水印\n\n"
                          u"基于 Qt、QPDF、Poppler 和 Tesseract 构建。\n"
                          u"各组件的许可证位于安装目录 share/licenses。"_s;

} // namespace

void BatchWindow::showItemDetails(int row)
{
    if (row < 0 || row >= m_items.size())
        return;
    const BatchItem& item = m_items.at(row);
    if (item.detail.isEmpty()) {
        if (!item.output.isEmpty())
            openExternally(QUrl::fromLocalFile(item.output));
        return;
    }
    // A file that failed for its password can be given its own, right here.
    if (item.failed && userLine(item.detail).contains(u"密码"_s)) {
        if (m_prompter->messageWithAction(this, u"处理详情"_s, item.detail, u"设置密码…"_s))
            setRowPassword({row});
        return;
    }
    m_prompter->message(this, QMessageBox::Information, u"处理详情"_s, item.detail);
}

QList<int> BatchWindow::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex& index : m_fileTable->selectionModel()->selectedRows(0))
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void BatchWindow::setRowPassword(const QList<int>& rows)
{
    if (busy() || rows.isEmpty())
        return;
    const QString label =
        rows.size() == 1
            ? u"“%1”的密码（打开密码即可；移除密码需所有者密码）："_s.arg(
                  QFileInfo(m_items.at(rows.first()).input).fileName())
            : u"所选 %1 份文件的密码（打开密码即可；移除密码需所有者密码）："_s.arg(rows.size());
    const std::optional<QString> password = m_prompter->askPassword(this, u"设置密码"_s, label);
    if (!password)
        return;
    for (const int row : rows) {
        BatchItem& item = m_items[row];
        item.password = *password;
        readFactsLater({item.input}, item.password); // its pages, now that it opens
        if (!item.succeeded) // a result stands; the password changes nothing made
            item.wait();
    }
    showOutcomes(rows);
}

void BatchWindow::openSelectedResult()
{
    const int row = m_fileTable->currentRow();
    if (row >= 0 && row < m_items.size() && !m_items.at(row).output.isEmpty())
        openExternally(QUrl::fromLocalFile(m_items.at(row).output));
}

void BatchWindow::exportReport()
{
    const QString suggested = QDir(m_outputEdit->text()).filePath(u"QuorvinPDF-处理报告.json"_s);
    const QString json = u"JSON 报告 (*.json)"_s;
    const QString csv = u"CSV 表格，可用 Excel 打开 (*.csv)"_s;
    QString filter = json;
    QString chosen =
        m_prompter->saveFileName(this, u"导出处理报告"_s, suggested, json + u";;"_s + csv, &filter);
    if (chosen.isEmpty())
        return;
    // The extension says the format; a name typed without one gets the chosen format's.
    const QString suffix = QFileInfo(chosen).suffix().toLower();
    const bool asCsv = suffix == u"csv"_s || (suffix.isEmpty() && filter == csv);
    if (suffix.isEmpty())
        chosen += asCsv ? u".csv"_s : u".json"_s;
    for (const BatchItem& item : std::as_const(m_items)) {
        if (sameFile(chosen, item.input) || sameFile(chosen, item.output)) {
            m_prompter->message(this, QMessageBox::Warning, u"不能覆盖文档"_s,
                                u"请选择独立的报告文件名。"_s);
            return;
        }
    }

    // A watch's report is its journal: every file it has done, not only the rows shown.
    QList<ReportEntry> entries;
    for (const BatchItem& item : std::as_const(m_items))
        entries.append({item.input, item.state, item.output, item.detail});
    if (m_watchList)
        entries = m_watch->reportEntries();
    const QByteArray text = batchReport(m_watchList ? m_watch->request() : buildRequest({}),
                                        entries, asCsv ? ReportFormat::Csv : ReportFormat::Json);

    QSaveFile file(chosen);
    const bool saved =
        file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
    if (saved) {
        m_prompter->message(
            this, QMessageBox::Information, u"报告已保存"_s,
            u"报告已保存到：\n%1\n报告包含文件路径、处理设置和结果，不包含密码。"_s.arg(
                QDir::toNativeSeparators(chosen)));
    } else {
        m_prompter->message(this, QMessageBox::Warning, u"报告保存失败"_s,
                            u"请检查输出权限和磁盘空间。"_s);
    }
}

void BatchWindow::openAccountPage()
{
    openExternally(QUrl(accountPage, QUrl::TolerantMode));
}

void BatchWindow::openExternally(const QUrl& url)
{
    if (m_prompter->openUrl(url))
        return;
    const bool file = url.isLocalFile();
    m_prompter->message(this, QMessageBox::Warning, u"无法打开"_s,
                        (file ? u"没有找到可以打开它的程序。文件位置：\n"_s
                              : u"没有找到可以打开它的浏览器。网址：\n"_s) +
                            (file ? QDir::toNativeSeparators(url.toLocalFile()) : url.toString()));
}

void BatchWindow::showHelp()
{
    if (m_prompter->messageWithAction(this, u"帮助与反馈"_s, helpText, u"在线帮助与反馈"_s))
        openExternally(QUrl(helpPage));
}

void BatchWindow::showAbout()
{
    if (m_prompter->messageWithAction(this, u"关于 Quorvin PDF 批量处理"_s, aboutText,
                                      u"版本与下载"_s))
        openExternally(QUrl(productPage));
}

} // namespace batch
