// Construction of the main window and its settings panel, the two persisted
// settings, and the rendering of the file list into the table.
#include "gui/batchwindow.h"

#include "gui/languagepacks/languagepacks.h"
#include "protocol/catalogue.h"
#include "protocol/ocroptions.h"
#include "protocol/protocol.h"

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
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTableWidget>
#include <QVBoxLayout>

#include <functional>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

const QString waitingState = u"等待处理"_s;

QIcon resourceIcon(const QString& name)
{
    return QIcon(u":/batch/"_s + name + u".svg"_s);
}

QLabel* makeLabel(const QString& text, const QString& objectName = QString())
{
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setObjectName(objectName);
    return label;
}

QLabel* mutedLabel(const QString& text)
{
    return makeLabel(text, u"muted"_s);
}

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
    : m_prompter(std::make_unique<Prompter>()),
      m_workerProgram(QCoreApplication::applicationFilePath())
{
    m_runner = new BatchRunner(this);
    buildWidgets();
    connectRunner();
    m_outputEdit->setText(QSettings().value(u"output"_s, defaultOutputFolder()).toString());
    m_modelsEdit->setText(QSettings().value(u"ocr/models"_s, initialModelsFolder()).toString());
    connectSignals();
    m_navigation->setCurrentRow(0);
    updateOperationPanel();
    refresh();
}

BatchWindow::~BatchWindow() = default;

QPushButton* BatchWindow::makeButton(const QString& text, const QString& iconName)
{
    auto* button = new QPushButton(text);
    if (!iconName.isEmpty())
        button->setIcon(resourceIcon(iconName));
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
        auto* item = new QListWidgetItem(resourceIcon(operation.icon), operation.title);
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
    m_removeButton = makeButton(u"移除"_s, u"trash"_s);
    m_clearButton = makeButton(u"清空"_s, QString());
    m_upButton = makeButton(u"上移"_s, u"up"_s);
    m_downButton = makeButton(u"下移"_s, u"down"_s);
    for (QPushButton* button : {m_addFilesButton, m_addFolderButton, m_removeButton, m_clearButton,
                                m_upButton, m_downButton})
        tools->addWidget(button);
    tools->addStretch();
    right->addLayout(tools);

    m_viewStack = new QStackedWidget;
    m_viewStack->setMinimumHeight(150);
    m_viewStack->addWidget(buildDropZone());
    m_fileTable = new QTableWidget(0, 4);
    m_fileTable->setHorizontalHeaderLabels({u"文件名称"_s, u"大小"_s, u"状态"_s, u"结果"_s});
    m_fileTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_fileTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_fileTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_fileTable->setAlternatingRowColors(true);
    m_fileTable->setShowGrid(false);
    m_fileTable->verticalHeader()->setVisible(false);
    m_fileTable->setWordWrap(false);
    // Tab leaves the list instead of walking its cells.
    m_fileTable->setTabKeyNavigation(false);
    auto* remove = new QShortcut(QKeySequence::Delete, m_fileTable);
    remove->setContext(Qt::WidgetWithChildrenShortcut);
    connect(remove, &QShortcut::activated, this, [this] {
        if (m_removeButton->isEnabled())
            removeSelected();
    });
    // Enter does what a double-click does.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto* open = new QShortcut(key, m_fileTable);
        open->setContext(Qt::WidgetShortcut);
        connect(open, &QShortcut::activated, this,
                [this] { showItemDetails(m_fileTable->currentRow()); });
    }
    // Widths that do not jump after each run: the name takes what is left,
    // long names lose their middle (the full path is the tooltip).
    m_fileTable->setTextElideMode(Qt::ElideMiddle);
    QHeaderView* header = m_fileTable->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    for (const auto& [column, width] : {std::pair{1, 96}, std::pair{2, 120}, std::pair{3, 240}}) {
        header->setSectionResizeMode(column, QHeaderView::Interactive);
        header->resizeSection(column, width);
    }
    m_viewStack->addWidget(m_fileTable);
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
    logo->setPixmap(resourceIcon(u"brand"_s).pixmap(QSize(30, 34)));
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
    icon->setPixmap(resourceIcon(u"batch"_s).pixmap(QSize(48, 48)));
    icon->setAlignment(Qt::AlignCenter);
    column->addWidget(icon);
    QLabel* title = makeLabel(u"把 PDF 拖到这里"_s, u"dropTitle"_s);
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title);
    QLabel* hint = mutedLabel(u"也可以添加文件夹内的 PDF · 单批最多 200 份"_s);
    hint->setAlignment(Qt::AlignCenter);
    column->addWidget(hint);
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

    auto* rowA = new QHBoxLayout;
    m_pageRangeLabel = makeLabel(u"页码范围"_s);
    m_pageRangeEdit = new QLineEdit;
    m_pageRangeEdit->setPlaceholderText(u"留空处理全部页面，例如 1-3,5 或 8-（第 8 页到末页）"_s);
    m_pageRangeEdit->setAccessibleName(u"页码范围"_s);
    m_groupLabel = makeLabel(u"每份页数"_s);
    m_groupSpin = new QSpinBox;
    m_groupSpin->setRange(1, 100000);
    m_groupSpin->setValue(1);
    m_groupSpin->setAccessibleName(u"每份页数"_s);
    m_rotationLabel = makeLabel(u"追加旋转"_s);
    m_rotationCombo = new QComboBox;
    m_rotationCombo->setAccessibleName(u"旋转角度"_s);
    m_rotationCombo->addItem(u"顺时针 90°"_s, 90);
    m_rotationCombo->addItem(u"180°"_s, 180);
    m_rotationCombo->addItem(u"逆时针 90°"_s, 270);
    rowA->addWidget(m_pageRangeLabel);
    rowA->addWidget(m_pageRangeEdit, 1);
    rowA->addWidget(m_groupLabel);
    rowA->addWidget(m_groupSpin);
    rowA->addWidget(m_rotationLabel);
    rowA->addWidget(m_rotationCombo);
    column->addLayout(rowA);

    auto* rowB = new QHBoxLayout;
    QLabel* sourcePasswordLabel = makeLabel(u"源文件密码"_s);
    rowB->addWidget(sourcePasswordLabel);
    m_sourcePasswordEdit = new QLineEdit;
    m_sourcePasswordEdit->setEchoMode(QLineEdit::Password);
    m_sourcePasswordEdit->setPlaceholderText(u"加密文件请填写所有者密码"_s);
    m_sourcePasswordEdit->setAccessibleName(u"源文件所有者密码"_s);
    rowB->addWidget(m_sourcePasswordEdit, 1);
    m_newPasswordLabel = makeLabel(u"新打开密码"_s);
    m_newPasswordEdit = new QLineEdit;
    m_newPasswordEdit->setEchoMode(QLineEdit::Password);
    m_newPasswordEdit->setAccessibleName(u"新打开密码"_s);
    m_confirmPasswordLabel = makeLabel(u"确认密码"_s);
    m_confirmPasswordEdit = new QLineEdit;
    m_confirmPasswordEdit->setEchoMode(QLineEdit::Password);
    m_confirmPasswordEdit->setAccessibleName(u"确认新密码"_s);
    rowB->addWidget(m_newPasswordLabel);
    rowB->addWidget(m_newPasswordEdit, 1);
    rowB->addWidget(m_confirmPasswordLabel);
    rowB->addWidget(m_confirmPasswordEdit, 1);
    column->addLayout(rowB);

    m_ocrPanel = new QWidget;
    auto* ocrColumn = new QVBoxLayout(m_ocrPanel);
    ocrColumn->setContentsMargins(0, 0, 0, 0);
    ocrColumn->setSpacing(10);
    auto* rowC = new QHBoxLayout;
    QLabel* languageLabel = makeLabel(u"识别语言"_s);
    rowC->addWidget(languageLabel);
    m_languageCombo = new QComboBox;
    m_languageCombo->setAccessibleName(u"识别语言"_s);
    m_languageCombo->addItem(u"简体中文 + 英文"_s, u"chi_sim+eng"_s);
    m_languageCombo->addItem(u"繁体中文 + 英文"_s, u"chi_tra+eng"_s);
    m_languageCombo->addItem(u"英文"_s, u"eng"_s);
    rowC->addWidget(m_languageCombo);
    rowC->addWidget(makeLabel(u"清晰度"_s));
    m_dpiCombo = new QComboBox;
    m_dpiCombo->setAccessibleName(u"识别清晰度"_s);
    for (const int dpi : {150, 200, 300})
        m_dpiCombo->addItem(QString::number(dpi) + u" DPI"_s, dpi);
    m_dpiCombo->setCurrentIndex(2);
    rowC->addWidget(m_dpiCombo);
    rowC->addWidget(makeLabel(u"输出格式"_s));
    m_outputKindCombo = new QComboBox;
    m_outputKindCombo->setObjectName(u"ocrOutputKind"_s);
    m_outputKindCombo->setAccessibleName(u"输出格式"_s);
    m_outputKindCombo->addItem(u"可搜索 PDF"_s, u"pdf"_s);
    m_outputKindCombo->addItem(u"Word 文档 (DOCX)"_s, u"docx"_s);
    m_outputKindCombo->addItem(u"重排 PDF"_s, u"rebuilt"_s);
    rowC->addWidget(m_outputKindCombo);
    m_keepTextCheck = new QCheckBox(u"保留已有可选文字页"_s);
    m_keepTextCheck->setChecked(true);
    rowC->addWidget(m_keepTextCheck);
    rowC->addStretch();
    ocrColumn->addLayout(rowC);
    auto* rowD = new QHBoxLayout;
    QLabel* modelsLabel = makeLabel(u"语言包位置"_s);
    rowD->addWidget(modelsLabel);
    m_modelsEdit = new QLineEdit;
    m_modelsEdit->setAccessibleName(u"语言包文件夹"_s);
    rowD->addWidget(m_modelsEdit, 1);
    m_chooseModelsButton = makeButton(u"选择文件夹"_s, u"folder"_s);
    m_languagePacksButton = makeButton(u"下载 / 导入语言包"_s, u"ocr"_s);
    rowD->addWidget(m_chooseModelsButton);
    rowD->addWidget(m_languagePacksButton);
    ocrColumn->addLayout(rowD);
    m_ocrStatusLabel = mutedLabel(QString());
    ocrColumn->addWidget(m_ocrStatusLabel);
    column->addWidget(m_ocrPanel);

    m_noteLabel = mutedLabel(QString());
    column->addWidget(m_noteLabel);
    // The first label of each row is as wide as the widest, so that the
    // fields after them start in one column.
    for (QLabel* label :
         {m_pageRangeLabel, m_groupLabel, sourcePasswordLabel, languageLabel, modelsLabel})
        label->setFixedWidth(80);
    return m_settings;
}

void BatchWindow::connectSignals()
{
    connect(m_navigation, &QListWidget::currentRowChanged, this,
            [this](int row) { onOperationChanged(row); });
    const auto setting = [this] {
        onSettingChanged();
    };
    for (QLineEdit* edit :
         {m_pageRangeEdit, m_newPasswordEdit, m_confirmPasswordEdit, m_outputEdit})
        connect(edit, &QLineEdit::textChanged, this, setting);
    // A source password changes no result that was made: only the failed
    // rows, which it may now open, are to be done again.
    connect(m_sourcePasswordEdit, &QLineEdit::textChanged, this, [this] {
        if (!m_running)
            resetResults(true);
    });
    connect(m_groupSpin, &QSpinBox::valueChanged, this, setting);
    connect(m_rotationCombo, &QComboBox::currentIndexChanged, this, setting);
    connect(m_dpiCombo, &QComboBox::currentIndexChanged, this, setting);
    connect(m_keepTextCheck, &QCheckBox::toggled, this, setting);
    connect(m_outputKindCombo, &QComboBox::currentIndexChanged, this, [this] {
        onSettingChanged();
        updateOperationPanel();
    });
    connect(m_modelsEdit, &QLineEdit::textChanged, this, [this] { onOcrSettingChanged(); });
    connect(m_languageCombo, &QComboBox::currentIndexChanged, this,
            [this] { onOcrSettingChanged(); });
    connect(m_chooseModelsButton, &QPushButton::clicked, this, [this] { chooseModelsFolder(); });
    connect(m_languagePacksButton, &QPushButton::clicked, this, [this] { openLanguagePacks(); });
    connect(m_browseOutputButton, &QPushButton::clicked, this, [this] { chooseOutputFolder(); });
    connect(m_openFolderButton, &QPushButton::clicked, this, [this] { openOutputFolder(); });
    connect(m_fileTable, &QTableWidget::itemSelectionChanged, this, [this] { updateRowButtons(); });

    connect(m_addFilesButton, &QPushButton::clicked, this, [this] { chooseFiles(); });
    connect(m_choosePdfButton, &QPushButton::clicked, this, [this] { chooseFiles(); });
    connect(m_addFolderButton, &QPushButton::clicked, this, [this] { chooseFolder(); });
    connect(m_removeButton, &QPushButton::clicked, this, [this] { removeSelected(); });
    connect(m_clearButton, &QPushButton::clicked, this, [this] { clearItems(); });
    connect(m_upButton, &QPushButton::clicked, this, [this] { moveCurrent(-1); });
    connect(m_downButton, &QPushButton::clicked, this, [this] { moveCurrent(1); });

    connect(m_startButton, &QPushButton::clicked, this, [this] { startBatch(false); });
    connect(m_retryButton, &QPushButton::clicked, this, [this] { startBatch(true); });
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

OcrRequest BatchWindow::buildOcrOptions() const
{
    return OcrRequest{.language = m_languageCombo->currentData().toString(),
                      .dpi = m_dpiCombo->currentData().toInt(),
                      .models = m_modelsEdit->text(),
                      .skipText = m_keepTextCheck->isChecked(),
                      .output = m_outputKindCombo->currentData().toString()};
}

void BatchWindow::updateOperationPanel()
{
    const Operation& operation = operations()[static_cast<size_t>(m_operationIndex)];
    const OperationKind kind = operation.kind;
    m_titleLabel->setText(operation.title);
    m_descriptionLabel->setText(operation.description);
    m_ocrPanel->setVisible(kind == OperationKind::Ocr);
    updateOcrStatus();
    const bool pages = kind == OperationKind::Extract || kind == OperationKind::Rotate;
    m_pageRangeLabel->setVisible(pages);
    m_pageRangeEdit->setVisible(pages);
    m_groupLabel->setVisible(kind == OperationKind::Split);
    m_groupSpin->setVisible(kind == OperationKind::Split);
    m_rotationLabel->setVisible(kind == OperationKind::Rotate);
    m_rotationCombo->setVisible(kind == OperationKind::Rotate);
    const bool encrypt = kind == OperationKind::Encrypt;
    for (QWidget* widget : std::initializer_list<QWidget*>{
             m_newPasswordLabel, m_newPasswordEdit, m_confirmPasswordLabel, m_confirmPasswordEdit})
        widget->setVisible(encrypt);

    QString note = u"保留原文件。含数字签名的 PDF 请使用编辑器的签名工作流。"_s;
    const QString output = m_outputKindCombo->currentData().toString();
    // Kept text pages exist only in a searchable PDF; the editable outputs
    // recognise every page.
    m_keepTextCheck->setEnabled(output == u"pdf"_s);
    if (kind == OperationKind::Ocr && output == u"docx"_s)
        note = u"按段落、坐标和字号重建为可编辑的 Word 文档，版式可能与原件不同，请核对。"_s;
    else if (kind == OperationKind::Ocr && output == u"rebuilt"_s)
        note = u"按识别出的段落和字号重新排版生成 PDF，不保留原页面图像，请核对。"_s;
    else if (kind == OperationKind::Ocr)
        note =
            u"原页面保留，叠加可搜索文字层；倾斜的扫描页按校正后的文字行识别。识别在本机完成。"_s;
    else if (kind == OperationKind::Merge)
        note =
            u"按列表从上到下合并；加密文档请先移除密码。表单字段随页面保留，不同文件的同名字段会重命名；XFA 表单不能合并。"_s;
    else if (kind == OperationKind::Optimize)
        note = u"不降采样图片。已充分压缩的 PDF 可能不会变小。"_s;
    else if (kind == OperationKind::Encrypt)
        note = u"新密码也用于所有者验证，请妥善保存。密码丢失后无法恢复。"_s;
    else if (kind == OperationKind::Split || kind == OperationKind::Extract)
        note =
            u"表单字段、书签和链接随所留页面保留；XFA 表单和带结构标签的文档可能无法删减页面，会显示具体原因。"_s;
    m_noteLabel->setText(note);
    m_settingsScroll->updateGeometry(); // the settings' height follows what they now hold
}

void BatchWindow::updateOcrStatus()
{
    const QString message = validateOcrOptions(buildOcrOptions());
    m_ocrStatusLabel->setText(message.isEmpty() ? u"所选语言文件齐全，开始识别时将加载校验。"_s
                                                : message);
}

void BatchWindow::resetResults(bool failedOnly)
{
    if (!m_running && !failedOnly) {
        m_batchProgress->setRange(0, 1);
        m_batchProgress->setValue(0);
    }
    for (BatchItem& item : m_items) {
        if (failedOnly && !item.failed)
            continue;
        item.succeeded = false;
        item.failed = false;
        item.state = waitingState;
        item.output.clear();
        item.detail.clear();
    }
    refresh();
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
                new QTableWidgetItem(resourceIcon(u"pages"_s), QFileInfo(item.input).fileName());
            name->setToolTip(item.input);
            m_fileTable->setItem(row, 0, name);
            m_fileTable->setItem(row, 1, new QTableWidgetItem(formatSize(item.size)));
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
    state->setForeground(QColor(item.failed      ? u"#ba1a1a"_s
                                : item.succeeded ? u"#166534"_s
                                                 : u"#59677b"_s));
    // The reason or the note in view, elided; all of it in the tooltip.
    const QString name = item.output.isEmpty() ? QString() : QFileInfo(item.output).fileName();
    const QString detail = QString(item.detail).replace(u'\n', u' ');
    const QString shown = name.isEmpty()     ? detail
                          : detail.isEmpty() ? name
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
    const int count = static_cast<int>(m_items.size());
    m_viewStack->setCurrentIndex(m_items.isEmpty() ? 0 : 1);
    for (QWidget* widget :
         std::initializer_list<QWidget*>{m_navigation, m_settings, m_outputEdit, m_addFilesButton,
                                         m_addFolderButton, m_clearButton, m_browseOutputButton})
        widget->setEnabled(!m_running);
    m_retryButton->setEnabled(!m_running && failed >= 1);
    m_startButton->setEnabled(!m_running && count > 0 && succeeded < count &&
                              (currentOperation().kind != OperationKind::Merge || count >= 2));
    m_exportButton->setEnabled(!m_running && succeeded + failed >= 1);
    m_stopButton->setVisible(m_running);
    updateRowButtons();
    if (!m_running) {
        m_statusLine->setText(u"%1 份文件 · 成功 %2 · 失败 %3 · 待处理 %4"_s.arg(count)
                                  .arg(succeeded)
                                  .arg(failed)
                                  .arg(count - succeeded - failed));
    }
}

void BatchWindow::updateRowButtons()
{
    const int row = m_fileTable->currentRow();
    const int count = static_cast<int>(m_items.size());
    const bool valid = row >= 0 && row < count;
    m_openResultButton->setEnabled(valid && !m_items.at(row).output.isEmpty());
    m_upButton->setEnabled(!m_running && valid && row > 0);
    m_downButton->setEnabled(!m_running && valid && row + 1 < count);
    m_removeButton->setEnabled(!m_running && valid);
}

void BatchWindow::onOperationChanged(int row)
{
    if (row < 0)
        return;
    // Each operation keeps the page range typed for it: extracting pages 2-3
    // says nothing about which pages to rotate.
    m_pageRanges[m_operationIndex] = m_pageRangeEdit->text();
    m_operationIndex = row;
    {
        const QSignalBlocker blocker(m_pageRangeEdit);
        m_pageRangeEdit->setText(m_pageRanges.value(row));
    }
    m_sourcePasswordEdit->clear();
    m_newPasswordEdit->clear();
    m_confirmPasswordEdit->clear();
    resetResults();
    updateOperationPanel();
    m_settingsScroll->verticalScrollBar()->setValue(0);
}

void BatchWindow::onSettingChanged()
{
    if (!m_running)
        resetResults();
}

void BatchWindow::onOcrSettingChanged()
{
    updateOcrStatus();
    if (!m_running)
        resetResults();
}

void BatchWindow::chooseFolderInto(QLineEdit* edit, const QString& caption)
{
    // A cancelled dialog answers "" and leaves the field as it was.
    const QString folder = m_prompter->existingDirectory(this, caption, edit->text());
    if (!folder.isEmpty())
        edit->setText(folder);
}

void BatchWindow::chooseModelsFolder()
{
    chooseFolderInto(m_modelsEdit, u"选择 tessdata 文件夹"_s);
}

void BatchWindow::openLanguagePacks()
{
    const QString folder = chooseLanguagePacks(this, m_modelsEdit->text());
    if (!folder.isEmpty())
        m_modelsEdit->setText(folder);
    updateOcrStatus();
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

void BatchWindow::closeEvent(QCloseEvent* event)
{
    if (m_running) {
        // The window closes once the batch has stopped: after the current
        // file, or at once when the user chooses to end it.
        event->ignore();
        if (m_closeWhenIdle)
            return;
        const int choice = m_prompter->choose(
            this, u"正在处理文件"_s,
            u"可以处理完正在处理的文件后关闭窗口（不再开始其余文件），或立即结束当前文件（不生成结果）并关闭。"_s,
            {u"立即结束并关闭"_s, u"处理完当前文件后关闭"_s, u"继续处理"_s});
        if (choice == 2)
            return;
        m_closeWhenIdle = true;
        m_stopRequested = true;
        // No file that is still waiting starts.
        m_runner->stop();
        if (choice == 0)
            endCurrentNow();
        else
            m_statusLine->setText(u"当前文件处理完后关闭窗口…"_s);
        return;
    }
    QSettings().setValue(u"output"_s, m_outputEdit->text());
    QSettings().setValue(u"ocr/models"_s, m_modelsEdit->text());
    saveWindowState();
    event->accept();
}

} // namespace batch
