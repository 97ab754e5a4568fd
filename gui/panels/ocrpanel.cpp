#include "gui/panels/ocrpanel.h"

#include "gui/icons.h"
#include "gui/languagepacks/languagepacks.h"
#include "protocol/ocroptions.h"
#include "runner/sources.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

QPushButton* panelButton(const QString& text, const QString& iconName)
{
    auto* button = new QPushButton(batchIcon(iconName), text);
    button->setMinimumHeight(36);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

QComboBox* combo(const QString& objectName, const QString& accessibleName)
{
    auto* box = new QComboBox;
    box->setObjectName(objectName);
    box->setAccessibleName(accessibleName);
    return box;
}

} // namespace

OcrPanel::OcrPanel(FolderChooser chooseFolder, QWidget* parent)
    : OperationPanel(parent), m_chooseFolder(std::move(chooseFolder))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);

    auto* choices = new QHBoxLayout;
    QLabel* languageLabel = makeLabel(u"识别语言"_s);
    languageLabel->setFixedWidth(firstLabelWidth);
    choices->addWidget(languageLabel);
    m_language = combo(u"ocrLanguage"_s, u"识别语言"_s);
    m_language->addItem(u"简体中文 + 英文"_s, u"chi_sim+eng"_s);
    m_language->addItem(u"繁体中文 + 英文"_s, u"chi_tra+eng"_s);
    m_language->addItem(u"英文"_s, u"eng"_s);
    choices->addWidget(m_language);
    choices->addWidget(makeLabel(u"清晰度"_s));
    m_dpi = combo(u"ocrDpi"_s, u"识别清晰度"_s);
    for (const int dpi : {150, 200, 300})
        m_dpi->addItem(QString::number(dpi) + u" DPI"_s, dpi);
    m_dpi->setCurrentIndex(2);
    choices->addWidget(m_dpi);
    choices->addWidget(makeLabel(u"输出格式"_s));
    m_outputKind = combo(u"ocrOutputKind"_s, u"输出格式"_s);
    m_outputKind->addItem(u"可搜索 PDF"_s, u"pdf"_s);
    m_outputKind->addItem(u"Word 文档 (DOCX)"_s, u"docx"_s);
    m_outputKind->addItem(u"重排 PDF"_s, u"rebuilt"_s);
    choices->addWidget(m_outputKind);
    m_keepText = new QCheckBox(u"保留已有可选文字页"_s);
    m_keepText->setObjectName(u"keepText"_s);
    m_keepText->setChecked(true);
    choices->addWidget(m_keepText);
    choices->addStretch();
    column->addLayout(choices);

    auto* folder = new QHBoxLayout;
    QLabel* modelsLabel = makeLabel(u"语言包位置"_s);
    modelsLabel->setFixedWidth(firstLabelWidth);
    folder->addWidget(modelsLabel);
    m_models = new QLineEdit(QSettings().value(u"ocr/models"_s, initialModelsFolder()).toString());
    m_models->setObjectName(u"ocrModels"_s);
    m_models->setAccessibleName(u"语言包文件夹"_s);
    folder->addWidget(m_models, 1);
    QPushButton* chooseButton = panelButton(u"选择文件夹"_s, u"folder"_s);
    chooseButton->setObjectName(u"chooseModels"_s);
    QPushButton* packsButton = panelButton(u"下载 / 导入语言包"_s, u"ocr"_s);
    packsButton->setObjectName(u"languagePacks"_s);
    folder->addWidget(chooseButton);
    folder->addWidget(packsButton);
    column->addLayout(folder);
    m_status = mutedLabel(QString());
    column->addWidget(m_status);
    rememberField(m_language, u"ocr/language"_s);
    rememberField(m_dpi, u"ocr/dpi"_s);
    rememberField(m_outputKind, u"ocr/output"_s);
    m_keepText->setEnabled(m_outputKind->currentData().toString() == u"pdf"_s);
    updateStatus();

    for (QComboBox* box : {m_dpi, m_language, m_outputKind})
        connect(box, &QComboBox::currentIndexChanged, this, &OperationPanel::settingChanged);
    connect(m_keepText, &QCheckBox::toggled, this, &OperationPanel::settingChanged);
    connect(m_models, &QLineEdit::textChanged, this, &OperationPanel::settingChanged);
    connect(m_language, &QComboBox::currentIndexChanged, this, [this] { updateStatus(); });
    connect(m_models, &QLineEdit::textChanged, this, [this] { updateStatus(); });
    connect(m_outputKind, &QComboBox::currentIndexChanged, this, [this] {
        // Kept text pages exist only in a searchable PDF; the editable
        // outputs recognise every page.
        m_keepText->setEnabled(m_outputKind->currentData().toString() == u"pdf"_s);
        emit shapeChanged();
    });
    connect(chooseButton, &QPushButton::clicked, this, [this] { chooseModels(); });
    connect(packsButton, &QPushButton::clicked, this, [this] { openLanguagePacks(); });
}

QString OcrPanel::note() const
{
    const QString output = m_outputKind->currentData().toString();
    if (output == u"docx"_s)
        return u"按段落、坐标和字号重建为可编辑的 Word 文档，版式可能与原件不同，请核对。"_s;
    if (output == u"rebuilt"_s)
        return u"按识别出的段落和字号重新排版生成 PDF，不保留原页面图像，请核对。"_s;
    return u"原页面保留，叠加可搜索文字层；倾斜的扫描页按校正后的文字行识别。识别在本机完成。"_s;
}

std::optional<PanelProblem> OcrPanel::problem() const
{
    const QString message = validateOcrOptions(options());
    if (message.isEmpty())
        return std::nullopt;
    return PanelProblem{u"检查 OCR 语言包"_s, message, nullptr};
}

void OcrPanel::fillRequest(JobRequest& request) const
{
    request.ocr = options();
}

void OcrPanel::saveSettings() const
{
    QSettings().setValue(u"ocr/models"_s, m_models->text());
}

OcrRequest OcrPanel::options() const
{
    return OcrRequest{.language = m_language->currentData().toString(),
                      .dpi = m_dpi->currentData().toInt(),
                      .models = m_models->text(),
                      .skipText = m_keepText->isChecked(),
                      .output = m_outputKind->currentData().toString()};
}

void OcrPanel::updateStatus()
{
    const QString message = validateOcrOptions(options());
    m_status->setText(message.isEmpty() ? u"所选语言文件齐全，开始识别时将加载校验。"_s : message);
}

void OcrPanel::chooseModels()
{
    const QString folder = m_chooseFolder(u"选择 tessdata 文件夹"_s, m_models->text());
    if (!folder.isEmpty())
        m_models->setText(folder);
}

void OcrPanel::openLanguagePacks()
{
    const QString folder = chooseLanguagePacks(window(), m_models->text());
    if (!folder.isEmpty())
        m_models->setText(folder);
    updateStatus();
}

} // namespace batch
