// Construction of the main window and its settings panel, the two persisted
// settings, and the rendering of the file list into the table.
#include "gui/batchwindow.h"

#include "gui/icons.h"
#include "gui/panels/operationpanel.h"
#include "gui/preview.h"
#include "protocol/catalogue.h"
#include "protocol/ocroptions.h"
#include "protocol/protocol.h"
#include "runner/sources.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTableWidget>
#include <QThreadPool>
#include <QVBoxLayout>

#include <functional>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

const QString waitingState = u"等待处理"_s;
const QString reviewState = u"完成，请核对"_s;

// The settings, as tall as their wrapped notes need at the width they have,
// scrolling only when the window has no room. (A scroll area's own hint
// knows nothing of wrapping: the merge note was cut even on a large screen.)
class SettingsScroll : public QScrollArea
{
public:
    QSize sizeHint() const override
    {
        QSize hint = QScrollArea::sizeHint();
        const QWidget* inner = widget();
        if (inner && inner->hasHeightForWidth()) {
            const int width = viewport()->width() > 0 ? viewport()->width() : inner->width();
            hint.setHeight(inner->heightForWidth(width) + 2 * frameWidth());
        }
        return hint;
    }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QScrollArea::resizeEvent(event);
        if (event->size().width() != event->oldSize().width())
            updateGeometry();
    }
};

QString defaultOutputFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
        .filePath(u"Quorvin PDF/批量处理"_s);
}

} // namespace

BatchWindow::BatchWindow()
    : m_prompter(std::make_unique<Prompter>()), m_factsReader(std::make_unique<QThreadPool>()),
      m_workerProgram(QCoreApplication::applicationFilePath())
{
    m_factsReader->setMaxThreadCount(2);
    m_runner = new BatchRunner(this);
    m_watch = new FolderWatch(this);
    buildWidgets();
    connectRunner();
    connectWatch();
    m_outputEdit->setText(
        QDir::toNativeSeparators(QSettings().value(u"output"_s, defaultOutputFolder()).toString()));
    connectSignals();
    m_navigation->setCurrentRow(0);
    updateOperationPanel();
    refresh();
    if (QSettings().value(u"watch/active"_s).toBool())
        QTimer::singleShot(0, this, [this] { resumeWatching(); });
}

BatchWindow::~BatchWindow() = default;

QPushButton* BatchWindow::makeButton(const QString& text, const QString& iconName)
{
    auto* button = new QPushButton(text);
    if (!iconName.isEmpty())
        button->setIcon(batchIcon(iconName));
    button->setMinimumHeight(36);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

const Operation& BatchWindow::currentOperation() const
{
    return operations()[static_cast<size_t>(m_operationIndex)];
}

void BatchWindow::buildWidgets()
{
    setWindowTitle(u"Quorvin PDF 批量处理"_s);
    // A 1366×768 laptop with a panel leaves about 1280×680; the settings
    // scroll when the window is smaller than they need.
    placeOnScreen();
    setAcceptDrops(true);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(24, 20, 24, 18);
    layout->setSpacing(20);
    setCentralWidget(central);
    layout->addWidget(buildHeader(), 0);

    auto* body = new QHBoxLayout;
    body->setSpacing(24);
    layout->addLayout(body, 1);

    auto* left = new QVBoxLayout;
    m_navigation = new QListWidget;
    m_navigation->setObjectName(u"navigation"_s);
    m_navigation->setFixedWidth(176);
    m_navigation->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_navigation->setSpacing(5);
    for (const Operation& operation : operations()) {
        auto* item = new QListWidgetItem(batchIcon(operation.icon), operation.title);
        item->setSizeHint(QSize(160, 45));
        m_navigation->addItem(item);
    }
    left->addWidget(m_navigation, 1);
    left->addWidget(mutedLabel(u"QUORVIN PDF\n简单处理，高效完成"_s));
    body->addLayout(left, 0);

    auto* right = new QVBoxLayout;
    right->setSpacing(12);
    body->addLayout(right, 1);

    auto* titleRow = new QHBoxLayout;
    m_titleLabel = makeLabel(QString(), u"title"_s);
    titleRow->addWidget(m_titleLabel);
    titleRow->addStretch();
    titleRow->addWidget(mutedLabel(u"本机处理 · 原文件保留"_s));
    right->addLayout(titleRow);
    m_descriptionLabel = mutedLabel(QString());
    right->addWidget(m_descriptionLabel);

    auto* tools = new QHBoxLayout;
    m_addFilesButton = makeButton(u"添加文件"_s, u"plus"_s);
    m_addFolderButton = makeButton(u"添加文件夹"_s, u"folder"_s);
    m_watchButton = makeButton(u"监视文件夹…"_s, u"watch"_s);
    m_watchButton->setToolTip(u"用当前的处理和设置，自动处理放入文件夹的每个新文件"_s);
    m_removeButton = makeButton(u"移除"_s, u"trash"_s);
    m_clearButton = makeButton(u"清空"_s, QString());
    m_upButton = makeButton(u"上移"_s, u"up"_s);
    m_downButton = makeButton(u"下移"_s, u"down"_s);
    for (QPushButton* button : {m_addFilesButton, m_addFolderButton, m_watchButton, m_removeButton,
                                m_clearButton, m_upButton, m_downButton})
        tools->addWidget(button);
    tools->addStretch();
    m_previewButton = makeButton(u"页面预览"_s, u"pages"_s);
    m_previewButton->setCheckable(true);
    m_previewButton->setChecked(QSettings().value(u"window/preview"_s, true).toBool());
    tools->addWidget(m_previewButton);
    right->addLayout(tools);
    right->addWidget(buildWatchBanner());

    m_viewStack = new QStackedWidget;
    m_viewStack->setMinimumHeight(150);
    m_viewStack->addWidget(buildDropZone());
    m_fileTable = new QTableWidget(0, 4);
    m_fileTable->setHorizontalHeaderLabels({u"文件名称"_s, u"页数 · 大小"_s, u"状态"_s, u"结果"_s});
    m_fileTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_fileTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_fileTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_fileTable->setAlternatingRowColors(true);
    m_fileTable->setShowGrid(false);
    m_fileTable->verticalHeader()->setVisible(false);
    m_fileTable->setWordWrap(false);
    // Rows are dragged to reorder; the window moves them (eventFilter).
    m_fileTable->setDragDropMode(QAbstractItemView::InternalMove);
    m_fileTable->setDefaultDropAction(Qt::MoveAction);
    m_fileTable->setDragDropOverwriteMode(false);
    m_fileTable->viewport()->installEventFilter(this);
    m_fileTable->installEventFilter(this);
    // Tab leaves the list instead of walking its cells.
    m_fileTable->setTabKeyNavigation(false);
    auto* remove = new QShortcut(QKeySequence::Delete, m_fileTable);
    remove->setContext(Qt::WidgetWithChildrenShortcut);
    connect(remove, &QShortcut::activated, this, [this] {
        if (m_removeButton->isEnabled())
            removeSelected();
    });
    // A password of the selected rows' own, for a batch of files with different ones.
    auto* rowPassword = new QAction(u"设置密码…"_s, m_fileTable);
    rowPassword->setObjectName(u"rowPassword"_s);
    m_fileTable->addAction(rowPassword);
    m_fileTable->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(rowPassword, &QAction::triggered, this, [this] { setRowPassword(selectedRows()); });
    // Enter does what a double-click does.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto* open = new QShortcut(key, m_fileTable);
        open->setContext(Qt::WidgetShortcut);
        connect(open, &QShortcut::activated, this,
                [this] { showItemDetails(m_fileTable->currentRow()); });
    }
    // Widths that do not jump after each run; long names lose their middle
    // (the full path is the tooltip).
    m_fileTable->setTextElideMode(Qt::ElideMiddle);
    QHeaderView* header = m_fileTable->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setSectionsClickable(true);
    connect(header, &QHeaderView::sectionClicked, this, [this](int column) {
        if (column <= 2)
            sortByColumn(column);
    });
    // The name and the result share what the pages, size and state leave,
    // so that neither vanishes in a narrow window beside the preview.
    for (const int column : {0, 3})
        header->setSectionResizeMode(column, QHeaderView::Stretch);
    for (const auto& [column, width] : {std::pair{1, 130}, std::pair{2, 100}}) {
        header->setSectionResizeMode(column, QHeaderView::Interactive);
        header->resizeSection(column, width);
    }
    // The list keeps eight rows in sight on a 1366×768 screen: the settings
    // scroll instead.
    m_viewStack->setMinimumHeight(m_fileTable->horizontalHeader()->sizeHint().height() +
                                  8 * m_fileTable->verticalHeader()->defaultSectionSize() +
                                  2 * m_fileTable->frameWidth());
    m_preview = new PagePreview;
    m_preview->setMinimumWidth(170);
    m_preview->setVisible(m_previewButton->isChecked());
    auto* listAndPages = new QSplitter(Qt::Horizontal);
    listAndPages->setChildrenCollapsible(false);
    listAndPages->addWidget(m_fileTable);
    listAndPages->addWidget(m_preview);
    listAndPages->setStretchFactor(0, 3);
    listAndPages->setStretchFactor(1, 1);
    m_viewStack->addWidget(listAndPages);
    right->addWidget(m_viewStack, 1);

    m_settingsScroll = new SettingsScroll;
    m_settingsScroll->setObjectName(u"settingsScroll"_s);
    // Its fields take the focus, not the area around them.
    m_settingsScroll->setFocusPolicy(Qt::NoFocus);
    m_settingsScroll->setWidget(buildSettings());
    m_settingsScroll->setWidgetResizable(true);
    m_settingsScroll->setFrameShape(QFrame::NoFrame);
    m_settingsScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // As tall as the settings when there is room; they scroll when there is not.
    m_settingsScroll->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    right->addWidget(m_settingsScroll);

    auto* outputRow = new QHBoxLayout;
    outputRow->addWidget(makeLabel(u"输出位置"_s));
    m_outputEdit = new QLineEdit;
    m_outputEdit->setAccessibleName(u"输出文件夹"_s);
    outputRow->addWidget(m_outputEdit, 1);
    // How results are named; a merge's file name. On the output's row: the
    // list keeps its height.
    m_nameLabel = makeLabel(u"命名"_s);
    outputRow->addWidget(m_nameLabel);
    m_nameEdit = new QLineEdit;
    m_nameEdit->setObjectName(u"outputName"_s);
    m_nameEdit->setMaximumWidth(180);
    outputRow->addWidget(m_nameEdit);
    m_browseOutputButton = makeButton(u"浏览"_s, u"folder"_s);
    m_openFolderButton = makeButton(u"打开文件夹"_s, u"folder"_s);
    outputRow->addWidget(m_browseOutputButton);
    outputRow->addWidget(m_openFolderButton);
    right->addLayout(outputRow);

    m_batchProgress = new QProgressBar;
    m_batchProgress->setRange(0, 1);
    m_batchProgress->setValue(0);
    m_batchProgress->setTextVisible(false);
    m_batchProgress->setFixedHeight(8);
    m_batchProgress->setAccessibleName(u"任务进度"_s);
    right->addWidget(m_batchProgress);

    auto* bottom = new QHBoxLayout;
    m_statusLine = mutedLabel(u"添加 PDF，开始批量处理。"_s);
    bottom->addWidget(m_statusLine, 1);
    m_exportButton = makeButton(u"导出报告"_s, u"report"_s);
    m_retryButton = makeButton(u"重试失败项"_s, u"refresh"_s);
    m_openResultButton = makeButton(u"打开结果"_s, u"folder"_s);
    m_stopButton = makeButton(u"停止"_s, QString());
    m_stopButton->setVisible(false);
    m_startButton = makeButton(u"开始处理"_s, u"batch-white"_s);
    m_startButton->setObjectName(u"primary"_s);
    for (QPushButton* button :
         {m_exportButton, m_retryButton, m_openResultButton, m_stopButton, m_startButton})
        bottom->addWidget(button);
    right->addLayout(bottom);
}

QWidget* BatchWindow::buildHeader()
{
    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    auto* logo = new QLabel;
    logo->setPixmap(batchIcon(u"brand"_s).pixmap(QSize(30, 34)));
    row->addWidget(logo);
    row->addWidget(makeLabel(u"Quorvin PDF"_s, u"brand"_s));
    row->addWidget(makeLabel(u"批量处理"_s, u"product"_s));
    row->addWidget(makeLabel(u"免费版"_s, u"badge"_s));
    row->addStretch();
    m_accountButton = makeButton(u"账户中心"_s, u"user"_s);
    m_helpButton = makeButton(u"帮助与反馈"_s, u"help"_s);
    m_aboutButton = makeButton(u"关于"_s, u"info"_s);
    row->addWidget(m_accountButton);
    row->addWidget(m_helpButton);
    row->addWidget(m_aboutButton);
    return header;
}

QWidget* BatchWindow::buildDropZone()
{
    auto* zone = new QWidget;
    zone->setObjectName(u"dropZone"_s);
    zone->setAttribute(Qt::WA_StyledBackground);
    auto* column = new QVBoxLayout(zone);
    column->addStretch();
    auto* icon = new QLabel;
    icon->setPixmap(batchIcon(u"batch"_s).pixmap(QSize(48, 48)));
    icon->setAlignment(Qt::AlignCenter);
    column->addWidget(icon);
    m_dropTitle = makeLabel(u"把 PDF 拖到这里"_s, u"dropTitle"_s);
    m_dropTitle->setAlignment(Qt::AlignCenter);
    column->addWidget(m_dropTitle);
    m_dropHint = mutedLabel(u"也可以添加文件夹内的 PDF · 单批最多 200 份"_s);
    m_dropHint->setAlignment(Qt::AlignCenter);
    column->addWidget(m_dropHint);
    m_choosePdfButton = makeButton(u"选择 PDF"_s, u"plus-white"_s);
    m_choosePdfButton->setObjectName(u"primary"_s);
    column->addWidget(m_choosePdfButton, 0, Qt::AlignCenter);
    column->addStretch();
    return zone;
}

QWidget* BatchWindow::buildSettings()
{
    m_settings = new QWidget;
    m_settings->setObjectName(u"settings"_s);
    m_settings->setAttribute(Qt::WA_StyledBackground);
    auto* column = new QVBoxLayout(m_settings);
    column->setContentsMargins(16, 12, 16, 12);
    column->setSpacing(10);

    auto* passwordRow = new QHBoxLayout;
    QLabel* sourcePasswordLabel = makeLabel(u"源文件密码"_s);
    sourcePasswordLabel->setFixedWidth(firstLabelWidth);
    passwordRow->addWidget(sourcePasswordLabel);
    m_sourcePasswordEdit = new QLineEdit;
    m_sourcePasswordEdit->setEchoMode(QLineEdit::Password);
    m_sourcePasswordEdit->setPlaceholderText(
        u"有密码的文件：填打开密码即可；移除密码需所有者密码"_s);
    m_sourcePasswordEdit->setAccessibleName(u"源文件密码"_s);
    passwordRow->addWidget(m_sourcePasswordEdit, 1);
    column->addLayout(passwordRow);

    // Every operation's own panel, in catalogue order; only the current one shows.
    const FolderChooser chooseFolder = [this](const QString& caption, const QString& folder) {
        return m_prompter->existingDirectory(this, caption, folder);
    };
    for (const Operation& operation : operations()) {
        OperationPanel* panel = makeOperationPanel(operation, chooseFolder, m_settings);
        panel->setVisible(false);
        column->addWidget(panel);
        m_panels.append(panel);
    }

    m_noteLabel = mutedLabel(QString());
    column->addWidget(m_noteLabel);
    return m_settings;
}

void BatchWindow::connectSignals()
{
    connect(m_navigation, &QListWidget::currentRowChanged, this,
            [this](int row) { onOperationChanged(row); });
    const auto setting = [this] {
        onSettingChanged();
    };
    connect(m_outputEdit, &QLineEdit::textChanged, this, setting);
    connect(m_nameEdit, &QLineEdit::textChanged, this, [this, setting] {
        QSettings().setValue(nameKey(), m_nameEdit->text());
        setting();
    });
    for (OperationPanel* panel : m_panels) {
        connect(panel, &OperationPanel::settingChanged, this, setting);
        connect(panel, &OperationPanel::shapeChanged, this, [this] { updateOperationPanel(); });
    }
    // A source password changes no result that was made: only the failed
    // rows, which it may now open, are to be done again.
    connect(m_sourcePasswordEdit, &QLineEdit::textChanged, this, [this] {
        if (!m_running)
            resetResults(true);
        showPreview();
    });
    connect(m_browseOutputButton, &QPushButton::clicked, this, [this] { chooseOutputFolder(); });
    connect(m_openFolderButton, &QPushButton::clicked, this, [this] { openOutputFolder(); });
    connect(m_fileTable, &QTableWidget::itemSelectionChanged, this, [this] {
        updateRowButtons();
        showPreview();
    });
    connect(m_previewButton, &QPushButton::toggled, this, [this](bool shown) {
        m_preview->setVisible(shown);
        QSettings().setValue(u"window/preview"_s, shown);
        showPreview();
    });
    connect(m_preview, &PagePreview::pagesShown, this, [this] { syncPreview(); });
    connect(m_preview, &PagePreview::pagesChosen, this, [this](const QList<int>& pages) {
        if (auto* range = currentPanel()->findChild<QLineEdit*>(u"pages"_s))
            range->setText(pageRangeText(pages));
    });

    connect(m_addFilesButton, &QPushButton::clicked, this, [this] { chooseFiles(); });
    connect(m_choosePdfButton, &QPushButton::clicked, this, [this] { chooseFiles(); });
    connect(m_addFolderButton, &QPushButton::clicked, this, [this] { chooseFolder(); });
    connect(m_removeButton, &QPushButton::clicked, this, [this] { removeSelected(); });
    connect(m_clearButton, &QPushButton::clicked, this, [this] { clearItems(); });
    connect(m_upButton, &QPushButton::clicked, this, [this] { moveCurrent(-1); });
    connect(m_downButton, &QPushButton::clicked, this, [this] { moveCurrent(1); });

    connect(m_startButton, &QPushButton::clicked, this, [this] { startBatch(false); });
    connect(m_retryButton, &QPushButton::clicked, this, [this] {
        if (m_watching)
            m_watch->retryFailed();
        else
            startBatch(true);
    });
    connect(m_stopButton, &QPushButton::clicked, this, [this] { requestStop(); });

    connect(m_openResultButton, &QPushButton::clicked, this, [this] { openSelectedResult(); });
    connect(m_exportButton, &QPushButton::clicked, this, [this] { exportReport(); });
    connect(m_fileTable, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { showItemDetails(row); });

    connectShortcuts();
    connect(m_accountButton, &QPushButton::clicked, this, [this] { openAccountPage(); });
    connect(m_helpButton, &QPushButton::clicked, this, [this] { showHelp(); });
    connect(m_aboutButton, &QPushButton::clicked, this, [this] { showAbout(); });
}

void BatchWindow::connectShortcuts()
{
    const auto shortcut = [this](const QKeySequence& key, const std::function<void()>& action) {
        auto* made = new QShortcut(key, this);
        connect(made, &QShortcut::activated, this, action);
    };
    shortcut(QKeySequence(u"Ctrl+O"_s), [this] {
        if (m_addFilesButton->isEnabled())
            chooseFiles();
    });
    shortcut(QKeySequence(u"Ctrl+Shift+O"_s), [this] {
        if (m_addFolderButton->isEnabled())
            chooseFolder();
    });
    for (const QString& key : {u"Ctrl+Return"_s, u"Ctrl+Enter"_s}) {
        shortcut(QKeySequence(key), [this] {
            if (m_startButton->isEnabled())
                startBatch(false);
        });
    }
    for (int i = 0; i < std::min(9, m_navigation->count()); ++i) {
        shortcut(QKeySequence(u"Ctrl+%1"_s.arg(i + 1)), [this, i] {
            if (m_navigation->isEnabled())
                m_navigation->setCurrentRow(i);
        });
    }
    shortcut(QKeySequence(Qt::Key_F1), [this] { showHelp(); });
}

OperationPanel* BatchWindow::currentPanel() const
{
    return m_panels.at(m_operationIndex);
}

void BatchWindow::updateOperationPanel()
{
    const Operation& operation = currentOperation();
    m_titleLabel->setText(operation.title);
    m_descriptionLabel->setText(operation.description);
    for (int i = 0; i < m_panels.size(); ++i)
        m_panels.at(i)->setVisible(i == m_operationIndex);
    m_noteLabel->setText(currentPanel()->note());
    m_settingsScroll->updateGeometry(); // the settings' height follows what they now hold
}

void BatchWindow::resetResults(bool failedOnly)
{
    if (!m_running && !failedOnly) {
        m_batchProgress->setRange(0, 1);
        m_batchProgress->setValue(0);
    }
    for (BatchItem& item : m_items) {
        if (!failedOnly || item.failed)
            item.wait();
    }
    refresh();
}

void BatchItem::wait()
{
    output.clear();
    detail.clear();
    state = waitingState;
    succeeded = failed = skipped = stale = false;
}

QString factsText(const BatchItem& item)
{
    if (!item.factsRead)
        return u"…"_s;
    const QString size = formatSize(item.size);
    return item.pages > 0 ? u"%1 页 · %2"_s.arg(item.pages).arg(size) : size;
}

void BatchWindow::refresh()
{
    {
        const QSignalBlocker blocker(m_fileTable);
        const int current = m_fileTable->currentRow();
        m_fileTable->setRowCount(0);
        m_fileTable->setRowCount(int(m_items.size()));
        for (int row = 0; row < m_items.size(); ++row) {
            const BatchItem& item = m_items.at(row);
            auto* name =
                new QTableWidgetItem(batchIcon(u"pages"_s), QFileInfo(item.input).fileName());
            name->setToolTip(item.input);
            m_fileTable->setItem(row, 0, name);
            m_fileTable->setItem(row, 1, new QTableWidgetItem(factsText(item)));
            if (item.encrypted)
                name->setIcon(batchIcon(u"lock"_s));
            m_fileTable->setItem(row, 2, new QTableWidgetItem);
            m_fileTable->setItem(row, 3, new QTableWidgetItem);
            showOutcome(row);
        }
        if (current >= 0 && current < m_items.size())
            m_fileTable->selectRow(current);
    }
    updateControls();
}

void BatchWindow::showOutcomes(const QList<int>& rows)
{
    for (const int row : rows)
        showOutcome(row);
    updateControls();
}

void BatchWindow::showOutcome(int row)
{
    QTableWidgetItem* state = m_fileTable->item(row, 2);
    QTableWidgetItem* result = m_fileTable->item(row, 3);
    if (row < 0 || row >= m_items.size() || !state || !result)
        return;
    const BatchItem& item = m_items.at(row);
    state->setText(item.state);
    state->setToolTip(item.detail);
    state->setForeground(QColor(item.failed                     ? u"#ba1a1a"_s
                                : item.succeeded && !item.stale ? u"#166534"_s
                                                                : u"#59677b"_s));
    // The reason or the note in view, elided; all of it in the tooltip.
    const QString name = item.output.isEmpty() ? QString() : QFileInfo(item.output).fileName();
    // The reason in view; a library's own words only in the tooltip and details.
    const QString detail = userLine(item.detail);
    // A result to check says first what to check: the cell's middle is what
    // a narrow column gives up.
    const bool check = item.state == reviewState;
    const QString shown = name.isEmpty()     ? detail
                          : detail.isEmpty() ? name
                          : check            ? detail + u" · "_s + name
                                             : name + u" · "_s + detail;
    result->setText(shown.isEmpty() ? u"—"_s : shown);
    result->setToolTip(
        QStringList{item.output, item.detail}.filter(QRegularExpression(u"\\S"_s)).join(u'\n'));
}

// The buttons and the status line; touches no file, so a batch's every step
// may call it.
void BatchWindow::updateControls()
{
    const int succeeded = int(std::count_if(m_items.begin(), m_items.end(),
                                            [](const BatchItem& item) { return item.succeeded; }));
    const int failed = int(std::count_if(m_items.begin(), m_items.end(),
                                         [](const BatchItem& item) { return item.failed; }));
    const int skipped = int(std::count_if(m_items.begin(), m_items.end(),
                                          [](const BatchItem& item) { return item.skipped; }));
    const int count = static_cast<int>(m_items.size());
    m_viewStack->setCurrentIndex(m_items.isEmpty() ? 0 : 1);
    for (QWidget* widget : std::initializer_list<QWidget*>{
             m_navigation, m_settings, m_outputEdit, m_addFilesButton, m_addFolderButton,
             m_watchButton, m_clearButton, m_browseOutputButton})
        widget->setEnabled(!busy());
    // A watch keeps the settings it started with, its results' names too.
    m_nameEdit->setEnabled(!m_watching);
    m_retryButton->setEnabled(!m_running && failed >= 1);
    const bool stale = std::any_of(m_items.begin(), m_items.end(),
                                   [](const BatchItem& item) { return item.stale; });
    m_startButton->setEnabled(!busy() && count > 0 && (succeeded + skipped < count || stale) &&
                              (currentOperation().kind != OperationKind::Merge || count >= 2));
    m_exportButton->setEnabled(!m_running && succeeded + failed + skipped >= 1);
    m_stopButton->setVisible(m_running);
    updateRowButtons();
    if (!m_running) {
        const QString skips = skipped ? u" · 已跳过 %1"_s.arg(skipped) : QString();
        m_statusLine->setText(u"%1 份文件 · 成功 %2 · 失败 %3%4 · 待处理 %5"_s.arg(count)
                                  .arg(succeeded)
                                  .arg(failed)
                                  .arg(skips)
                                  .arg(count - succeeded - failed - skipped));
    }
}

void BatchWindow::updateRowButtons()
{
    const int row = m_fileTable->currentRow();
    const int count = static_cast<int>(m_items.size());
    const bool valid = row >= 0 && row < count;
    m_openResultButton->setEnabled(valid && !m_items.at(row).output.isEmpty());
    m_upButton->setEnabled(!busy() && valid && row > 0);
    m_downButton->setEnabled(!busy() && valid && row + 1 < count);
    m_removeButton->setEnabled(!busy() && valid);
}

void BatchWindow::onOperationChanged(int row)
{
    if (row < 0)
        return;
    m_operationIndex = row;
    m_sourcePasswordEdit->clear();
    // What the list takes: pictures for pictures to PDF, PDFs for the rest.
    const QString kind =
        sourceKind(currentOperation()) == SourceKind::Picture ? u"图片"_s : u"PDF"_s;
    m_dropTitle->setText(u"把 %1 拖到这里"_s.arg(kind));
    m_dropHint->setText(u"也可以添加文件夹内的 %1 · 单批最多 200 份"_s.arg(kind));
    m_choosePdfButton->setText(u"选择 %1"_s.arg(kind));
    showNameField();
    syncPreview();
    {
        const QSignalBlocker blocker(currentPanel());
        currentPanel()->enter();
    }
    resetResults();
    updateOperationPanel();
    m_settingsScroll->verticalScrollBar()->setValue(0);
}

QString BatchWindow::nameKey() const
{
    return currentOperation().kind == OperationKind::Merge ? u"merge/fileName"_s
                                                           : u"output/namePattern"_s;
}

// The naming field reads as what it is for the operation shown: a pattern
// for results of many files, the file name of a merge.
void BatchWindow::showNameField()
{
    const bool merge = currentOperation().kind == OperationKind::Merge;
    const QSignalBlocker blocker(m_nameEdit);
    m_nameLabel->setText(merge ? u"文件名"_s : u"命名"_s);
    m_nameEdit->setAccessibleName(merge ? u"合并结果的文件名"_s : u"结果命名"_s);
    m_nameEdit->setPlaceholderText(merge ? u"合并文档-合并"_s : u"{name}-{op}"_s);
    m_nameEdit->setToolTip(
        merge
            ? u"合并结果的文件名，不含 .pdf；留空为“合并文档-合并”。"_s
            : u"结果文件名：{name} 原文件名，{op} 操作（如“旋转”），{n} 序号；留空为 {name}-{op}。已有同名文件时自动加 (1)、(2)…，不会覆盖。"_s);
    m_nameEdit->setText(QSettings().value(nameKey()).toString());
}

void BatchWindow::showPreview()
{
    const int row = m_fileTable->currentRow();
    if (!m_preview->isVisible() || row < 0 || row >= m_items.size()) {
        m_preview->showDocument(QString(), QString());
        return;
    }
    const BatchItem& item = m_items.at(row);
    m_preview->showDocument(item.input,
                            item.password.isEmpty() ? m_sourcePasswordEdit->text() : item.password);
}

// The pages a range names are marked, and a rotation's shown turned.
void BatchWindow::syncPreview()
{
    const OperationKind kind = currentOperation().kind;
    const auto* range = currentPanel()->findChild<QLineEdit*>(u"pages"_s);
    const auto* degrees = currentPanel()->findChild<QComboBox*>(u"degrees"_s);
    const bool ranged = range != nullptr; // extract, rotate, and a split's ends
    // A split's empty range names no page; the others' names them all.
    const bool none = kind == OperationKind::Split && range && range->text().trimmed().isEmpty();
    const QList<int> named =
        ranged && !none ? pagesOfRange(range->text(), m_preview->pageCount()) : QList<int>();
    m_preview->setChoosing(ranged);
    m_preview->turnPages(kind == OperationKind::Rotate ? named : QList<int>(),
                         degrees ? degrees->currentData().toInt() : 0);
    m_preview->markPages(named);
}

void BatchWindow::onSettingChanged()
{
    syncPreview();
    if (m_running)
        return;
    // A result made with the old settings stays, marked: starting again asks
    // whether to make it anew. What did not succeed simply waits again.
    for (BatchItem& item : m_items) {
        if (item.succeeded) {
            item.stale = true;
            item.state = u"设置已更改"_s;
        } else if (item.failed || item.skipped) {
            item.wait();
        }
    }
    resetProgress();
    refresh();
}

void BatchWindow::chooseFolderInto(QLineEdit* edit, const QString& caption)
{
    // A cancelled dialog answers "" and leaves the field as it was.
    const QString folder = m_prompter->existingDirectory(this, caption, edit->text());
    if (!folder.isEmpty())
        edit->setText(QDir::toNativeSeparators(folder));
}

void BatchWindow::chooseOutputFolder()
{
    chooseFolderInto(m_outputEdit, u"选择输出文件夹"_s);
}

void BatchWindow::openOutputFolder()
{
    const QString folder = m_outputEdit->text();
    if (!folder.isEmpty() && QFileInfo(folder).isDir())
        openExternally(QUrl::fromLocalFile(folder));
}

bool BatchWindow::mayCloseDuringBatch()
{
    // The window closes once the batch has stopped: after the current file,
    // or at once when the user chooses to end it.
    if (m_closeWhenIdle)
        return false;
    m_askingToClose = true;
    const int choice = m_prompter->choose(
        this, u"正在处理文件"_s,
        u"可以处理完正在处理的文件后关闭窗口（不再开始其余文件），或立即结束当前文件（不生成结果）并关闭。"_s,
        {u"立即结束并关闭"_s, u"处理完当前文件后关闭"_s, u"继续处理"_s});
    m_askingToClose = false;
    // The batch ended while it was asked: the question went, and the window
    // closes as the user wanted.
    if (choice < 0)
        return true;
    if (choice == 2)
        return false;
    // The batch may have finished while the question was open: nothing is
    // left to wait for.
    if (!m_running)
        return true;
    m_closeWhenIdle = true;
    m_stopRequested = true;
    // No file that is still waiting starts.
    m_runner->stop();
    if (choice == 0)
        endCurrentNow();
    else
        m_statusLine->setText(u"当前文件处理完后关闭窗口…"_s);
    return false;
}

void BatchWindow::closeEvent(QCloseEvent* event)
{
    if (m_running && !mayCloseDuringBatch()) {
        event->ignore();
        return;
    }
    // A watch still on goes on when the program starts again; files it was
    // processing are done then, as nothing of them was recorded.
    if (m_watching)
        m_watch->endNow();
    QSettings().setValue(u"output"_s, m_outputEdit->text());
    for (const OperationPanel* panel : m_panels)
        panel->saveSettings();
    saveWindowState();
    event->accept();
}

} // namespace batch
