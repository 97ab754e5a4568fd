// The panels of the operations whose settings are a field or two.
#include "gui/panels/ocrpanel.h"
#include "gui/panels/operationpanel.h"
#include "gui/panels/splitpanel.h"
#include "gui/panels/stamppanel.h"

#include "protocol/catalogue.h"
#include "protocol/protocol.h"
#include "runner/sources.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaProperty>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// Optimisation and removing protection: nothing to set but the note.
class NotePanel : public OperationPanel
{
public:
    NotePanel(QString note, QWidget* parent) : OperationPanel(parent), m_note(std::move(note)) {}
    QString note() const override { return m_note; }
    void fillRequest(JobRequest&) const override {}

private:
    QString m_note;
};

// Extraction and rotation: a page range, and for a rotation its angle. Each
// keeps its own range: extracting pages 2-3 says nothing about which pages
// to rotate.
class PagesPanel : public OperationPanel
{
public:
    PagesPanel(bool rotation, QWidget* parent) : OperationPanel(parent)
    {
        QHBoxLayout* row = panelRow(this);
        row->addWidget(firstLabel(u"页码范围"_s));
        m_pages = new QLineEdit;
        m_pages->setObjectName(u"pages"_s);
        m_pages->setPlaceholderText(u"留空处理全部页面，例如 1-3,5 或 8-（第 8 页到末页）"_s);
        m_pages->setAccessibleName(u"页码范围"_s);
        row->addWidget(m_pages, 1);
        rememberField(m_pages, rotation ? u"rotate/pages"_s : u"extract/pages"_s);
        connect(m_pages, &QLineEdit::textChanged, this, &OperationPanel::settingChanged);
        if (!rotation)
            return;
        row->addWidget(makeLabel(u"追加旋转"_s));
        m_degrees = new QComboBox;
        m_degrees->setObjectName(u"degrees"_s);
        m_degrees->setAccessibleName(u"旋转角度"_s);
        m_degrees->addItem(u"顺时针 90°"_s, 90);
        m_degrees->addItem(u"180°"_s, 180);
        m_degrees->addItem(u"逆时针 90°"_s, 270);
        row->addWidget(m_degrees);
        rememberField(m_degrees, u"rotate/degrees"_s);
        connect(m_degrees, &QComboBox::currentIndexChanged, this, &OperationPanel::settingChanged);
    }

    QString note() const override
    {
        if (m_degrees)
            return u"保留原文件。带数字签名的 PDF 不会被处理，以免签名失效；如需修改，请在签署它的程序中进行。"_s;
        return u"表单字段、书签和链接随所留页面保留；XFA 表单和带结构标签的文档可能无法删减页面，会显示具体原因。"_s;
    }

    std::optional<PanelProblem> problem() const override { return pageRangeProblem(m_pages); }

    void fillRequest(JobRequest& request) const override
    {
        request.pages = m_pages->text();
        if (m_degrees)
            request.degrees = m_degrees->currentData().toInt();
    }

private:
    QLineEdit* m_pages = nullptr;
    QComboBox* m_degrees = nullptr;
};

// A new open password typed twice: what an encryption sets, and what a merge
// may set on its result (optional there: left empty, the result is open).
class NewPasswordPanel : public OperationPanel
{
public:
    NewPasswordPanel(bool optional, QString note, QWidget* parent)
        : OperationPanel(parent), m_optional(optional), m_note(std::move(note))
    {
        QHBoxLayout* row = panelRow(this);
        const QString label = optional ? u"结果密码"_s : u"新打开密码"_s;
        row->addWidget(firstLabel(label));
        m_password = passwordEdit(u"newPassword"_s, label);
        if (optional)
            m_password->setPlaceholderText(u"留空则结果不加密"_s);
        row->addWidget(m_password, 1);
        row->addWidget(makeLabel(u"确认密码"_s));
        m_confirmation = passwordEdit(u"confirmPassword"_s, u"确认"_s + label);
        row->addWidget(m_confirmation, 1);
    }

    QString note() const override { return m_note; }

    std::optional<PanelProblem> problem() const override
    {
        if (m_optional && m_password->text().isEmpty() && m_confirmation->text().isEmpty())
            return std::nullopt;
        const QString problem = newPasswordProblem(m_password->text(), m_confirmation->text());
        if (problem.isEmpty())
            return std::nullopt;
        return PanelProblem{u"检查密码"_s, problem, m_password};
    }

    void fillRequest(JobRequest& request) const override
    {
        request.newPassword = m_password->text();
    }

    void enter() override
    {
        m_password->clear();
        m_confirmation->clear();
    }

private:
    QLineEdit* passwordEdit(const QString& name, const QString& accessibleName)
    {
        auto* edit = new QLineEdit;
        edit->setObjectName(name);
        edit->setEchoMode(QLineEdit::Password);
        edit->setAccessibleName(accessibleName);
        connect(edit, &QLineEdit::textChanged, this, &OperationPanel::settingChanged);
        return edit;
    }

    bool m_optional = false;
    QString m_note;
    QLineEdit* m_password = nullptr;
    QLineEdit* m_confirmation = nullptr;
};

// Compression: a level and, if wanted, the size a result must fit in.
class CompressPanel : public OperationPanel
{
public:
    explicit CompressPanel(QWidget* parent) : OperationPanel(parent)
    {
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(0, 0, 0, 0);
        auto* row = new QHBoxLayout;
        row->addWidget(firstLabel(u"压缩级别"_s));
        m_level = new QComboBox;
        m_level->setObjectName(u"compressLevel"_s);
        m_level->setAccessibleName(u"压缩级别"_s);
        m_level->addItem(u"高质量"_s, u"high"_s);
        m_level->addItem(u"标准"_s, u"standard"_s);
        m_level->addItem(u"最小"_s, u"small"_s);
        m_level->addItem(u"极限压缩"_s, u"archive"_s);
        m_level->setCurrentIndex(1);
        row->addWidget(m_level);
        row->addWidget(makeLabel(u"目标大小（MB）"_s));
        m_target = new QDoubleSpinBox;
        m_target->setObjectName(u"targetSize"_s);
        m_target->setAccessibleName(u"目标大小（MB），0 表示不限"_s);
        m_target->setRange(0, 1024);
        m_target->setDecimals(1);
        m_target->setSingleStep(0.5);
        m_target->setSpecialValueText(u"不限"_s);
        row->addWidget(m_target);
        rememberField(m_level, u"compress/level"_s);
        rememberField(m_target, u"compress/targetSize"_s);
        row->addStretch();
        column->addLayout(row);
        m_levelNote = mutedLabel(QString());
        column->addWidget(m_levelNote);
        showLevel();
        connect(m_level, &QComboBox::currentIndexChanged, this, [this] {
            showLevel();
            emit settingChanged();
        });
        connect(m_target, &QDoubleSpinBox::valueChanged, this, &OperationPanel::settingChanged);
    }

    QString note() const override
    {
        return u"只压缩图片：文字、矢量图形、表单、书签和链接保持不变，黑白扫描页无损保存；结果不会大于原文件。"_s;
    }

    void fillRequest(JobRequest& request) const override
    {
        request.compressLevel = m_level->currentData().toString();
        // Megabytes as the window shows sizes: 1 MB is 1024 × 1024 bytes.
        request.targetSize = qRound64(m_target->value() * 1024 * 1024);
    }

private:
    void showLevel()
    {
        static const QStringList notes{
            u"图片最高 300 DPI，JPEG 质量 85：适合打印，体积减小较少。"_s,
            u"图片最高 200 DPI，JPEG 质量 35：适合屏幕阅读、邮件发送和文字识别。"_s,
            u"图片最高 150 DPI，JPEG 质量 40：体积最小，适合有大小限制的网站。"_s,
            u"扫描页分层：文字保持扫描分辨率，纸张底色降到 100 DPI；适合文字扫描件存档。其他页按“最小”。"_s};
        m_levelNote->setText(notes.value(m_level->currentIndex()));
    }

    QComboBox* m_level = nullptr;
    QDoubleSpinBox* m_target = nullptr;
    QLabel* m_levelNote = nullptr;
};

// Pages as pictures: the file type, resolution, JPEG quality, grey, and which pages.
class PdfToImagesPanel : public OperationPanel
{
public:
    explicit PdfToImagesPanel(QWidget* parent) : OperationPanel(parent)
    {
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(0, 0, 0, 0);
        auto* row = new QHBoxLayout;
        row->addWidget(firstLabel(u"图片格式"_s));
        m_format = new QComboBox;
        m_format->setObjectName(u"imageFormat"_s);
        m_format->setAccessibleName(u"图片格式"_s);
        m_format->addItem(u"PNG（无损）"_s, u"png"_s);
        m_format->addItem(u"JPEG"_s, u"jpg"_s);
        m_format->addItem(u"多页 TIFF"_s, u"tif"_s);
        row->addWidget(m_format);
        row->addWidget(makeLabel(u"分辨率"_s));
        m_dpi = new QSpinBox;
        m_dpi->setObjectName(u"imageDpi"_s);
        m_dpi->setAccessibleName(u"分辨率（DPI）"_s);
        m_dpi->setRange(72, 600);
        m_dpi->setValue(JobRequest().imageDpi);
        m_dpi->setSuffix(u" DPI"_s);
        row->addWidget(m_dpi);
        row->addWidget(makeLabel(u"JPEG 质量"_s));
        m_quality = new QSpinBox;
        m_quality->setObjectName(u"imageQuality"_s);
        m_quality->setAccessibleName(u"JPEG 质量"_s);
        m_quality->setRange(1, 100);
        m_quality->setValue(JobRequest().imageQuality);
        row->addWidget(m_quality);
        m_grey = new QCheckBox(u"灰度"_s);
        m_grey->setObjectName(u"imageGrey"_s);
        row->addWidget(m_grey);
        row->addStretch();
        column->addLayout(row);
        auto* pagesRow = new QHBoxLayout;
        pagesRow->addWidget(firstLabel(u"页码范围"_s));
        m_pages = new QLineEdit;
        m_pages->setObjectName(u"pages"_s);
        m_pages->setAccessibleName(u"页码范围"_s);
        m_pages->setPlaceholderText(u"留空转换全部页面，例如 1-3,5"_s);
        pagesRow->addWidget(m_pages, 1);
        column->addLayout(pagesRow);
        rememberField(m_format, u"pdf2images/format"_s);
        rememberField(m_dpi, u"pdf2images/dpi"_s);
        rememberField(m_quality, u"pdf2images/quality"_s);
        rememberField(m_grey, u"pdf2images/grey"_s);
        rememberField(m_pages, u"pdf2images/pages"_s);
        m_quality->setEnabled(m_format->currentData() == u"jpg"_s);
        connect(m_format, &QComboBox::currentIndexChanged, this, [this] {
            m_quality->setEnabled(m_format->currentData() == u"jpg"_s);
            emit settingChanged();
        });
        connect(m_dpi, &QSpinBox::valueChanged, this, &OperationPanel::settingChanged);
        connect(m_quality, &QSpinBox::valueChanged, this, &OperationPanel::settingChanged);
        connect(m_grey, &QCheckBox::toggled, this, &OperationPanel::settingChanged);
        connect(m_pages, &QLineEdit::textChanged, this, &OperationPanel::settingChanged);
    }

    QString note() const override
    {
        return u"PNG 和 JPEG 每页一张图片，放在“<源文件名>-图片”文件夹中；TIFF 为一个多页文件，黑白页无损压缩（CCITT G4）。页面连同批注一起绘制。"_s;
    }

    std::optional<PanelProblem> problem() const override { return pageRangeProblem(m_pages); }

    void fillRequest(JobRequest& request) const override
    {
        request.imageFormat = m_format->currentData().toString();
        request.imageDpi = m_dpi->value();
        request.imageQuality = m_quality->value();
        request.imageGrey = m_grey->isChecked();
        request.pages = m_pages->text();
    }

private:
    QComboBox* m_format = nullptr;
    QSpinBox* m_dpi = nullptr;
    QSpinBox* m_quality = nullptr;
    QCheckBox* m_grey = nullptr;
    QLineEdit* m_pages = nullptr;
};

// Pictures to PDF: one PDF each or one of all, A4 pages, recognised text.
class ImagesToPdfPanel : public OperationPanel
{
public:
    explicit ImagesToPdfPanel(QWidget* parent) : OperationPanel(parent)
    {
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(0, 0, 0, 0);
        auto* row = new QHBoxLayout;
        m_together = new QCheckBox(u"合并为一个 PDF"_s);
        m_together->setObjectName(u"oneFile"_s);
        row->addWidget(m_together);
        m_name = new QLineEdit;
        m_name->setObjectName(u"oneFileName"_s);
        m_name->setAccessibleName(u"合并后的文件名"_s);
        m_name->setPlaceholderText(u"图片合集"_s);
        row->addWidget(m_name, 1);
        m_fitA4 = new QCheckBox(u"适合 A4"_s);
        m_fitA4->setObjectName(u"fitA4"_s);
        m_fitA4->setToolTip(
            u"页面为 A4（横竖随图片），图片留 10 毫米边距居中；不勾选时页面按图片分辨率定大小。"_s);
        row->addWidget(m_fitA4);
        column->addLayout(row);
        auto* ocrRow = new QHBoxLayout;
        m_recognize = new QCheckBox(u"识别文字"_s);
        m_recognize->setObjectName(u"recognize"_s);
        ocrRow->addWidget(m_recognize);
        m_language = new QComboBox;
        m_language->setObjectName(u"ocrLanguage"_s);
        m_language->setAccessibleName(u"识别语言"_s);
        m_language->addItem(u"简体中文 + 英文"_s, u"chi_sim+eng"_s);
        m_language->addItem(u"繁体中文 + 英文"_s, u"chi_tra+eng"_s);
        m_language->addItem(u"英文"_s, u"eng"_s);
        ocrRow->addWidget(m_language);
        ocrRow->addStretch();
        column->addLayout(ocrRow);
        rememberField(m_together, u"images2pdf/oneFile"_s);
        rememberField(m_name, u"images2pdf/fileName"_s);
        rememberField(m_fitA4, u"images2pdf/fitA4"_s);
        rememberField(m_recognize, u"images2pdf/recognize"_s);
        rememberField(m_language, u"images2pdf/language"_s);
        const auto enable = [this] {
            m_name->setEnabled(m_together->isChecked());
            m_language->setEnabled(m_recognize->isChecked());
        };
        enable();
        for (QCheckBox* box : {m_together, m_fitA4, m_recognize})
            connect(box, &QCheckBox::toggled, this, [this, enable] {
                enable();
                emit settingChanged();
            });
        connect(m_name, &QLineEdit::textChanged, this, &OperationPanel::settingChanged);
        connect(m_language, &QComboBox::currentIndexChanged, this, &OperationPanel::settingChanged);
    }

    QString note() const override
    {
        return u"列表只接受图片：JPEG 原样放入不重新压缩，PNG、TIFF、BMP 无损保存，照片的方向按拍摄信息摆正。无法读取的图片会注明文件名。"_s;
    }

    std::optional<PanelProblem> problem() const override
    {
        if (!m_together->isChecked())
            return std::nullopt;
        const QString message = outputNameProblem(fileName());
        if (message.isEmpty())
            return std::nullopt;
        return PanelProblem{u"检查文件名"_s, message, m_name};
    }

    void fillRequest(JobRequest& request) const override
    {
        request.oneFile = m_together->isChecked() ? fileName() : QString();
        request.fitA4 = m_fitA4->isChecked();
        request.recognize = m_recognize->isChecked();
        request.ocr.language = m_language->currentData().toString();
        request.ocr.models = QSettings().value(u"ocr/models"_s, initialModelsFolder()).toString();
    }

private:
    QString fileName() const
    {
        const QString typed = m_name->text().trimmed();
        return typed.isEmpty() ? m_name->placeholderText() : typed;
    }

    QCheckBox* m_together = nullptr;
    QLineEdit* m_name = nullptr;
    QCheckBox* m_fitA4 = nullptr;
    QCheckBox* m_recognize = nullptr;
    QComboBox* m_language = nullptr;
};

} // namespace

QHBoxLayout* panelRow(QWidget* panel)
{
    auto* row = new QHBoxLayout(panel);
    row->setContentsMargins(0, 0, 0, 0);
    return row;
}

QLabel* firstLabel(const QString& text)
{
    QLabel* label = makeLabel(text);
    label->setFixedWidth(firstLabelWidth);
    return label;
}

std::optional<PanelProblem> pageRangeProblem(QLineEdit* field)
{
    const QString message = pageRangeSyntaxMessage(parsePageSpans(field->text()));
    if (message.isEmpty())
        return std::nullopt;
    return PanelProblem{u"检查页码"_s, message, field};
}

QLabel* makeLabel(const QString& text, const QString& objectName)
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

void rememberField(QWidget* field, const QString& key)
{
    const QMetaProperty property = field->metaObject()->userProperty();
    const QVariant saved = QSettings().value(key);
    if (saved.isValid())
        property.write(field, saved);
    const auto store = [field, key, property] {
        QSettings().setValue(key, property.read(field));
    };
    if (auto* box = qobject_cast<QComboBox*>(field))
        QObject::connect(box, &QComboBox::currentIndexChanged, field, store);
    else if (auto* spin = qobject_cast<QSpinBox*>(field))
        QObject::connect(spin, &QSpinBox::valueChanged, field, store);
    else if (auto* real = qobject_cast<QDoubleSpinBox*>(field))
        QObject::connect(real, &QDoubleSpinBox::valueChanged, field, store);
    else if (auto* edit = qobject_cast<QLineEdit*>(field))
        QObject::connect(edit, &QLineEdit::textChanged, field, store);
    else if (auto* check = qobject_cast<QCheckBox*>(field))
        QObject::connect(check, &QCheckBox::toggled, field, store);
}

OperationPanel* makeOperationPanel(const Operation& operation, const FolderChooser& chooseFolder,
                                   QWidget* parent)
{
    switch (operation.kind) {
    case OperationKind::Merge:
        return new NewPasswordPanel(
            true,
            u"按列表从上到下合并。有密码的源文件用“源文件密码”打开，合并结果不沿用它们的密码。表单字段随页面保留，不同文件的同名字段会重命名；XFA 表单不能合并。"_s,
            parent);
    case OperationKind::Split:
        return new SplitPanel(parent);
    case OperationKind::Extract:
        return new PagesPanel(false, parent);
    case OperationKind::Rotate:
        return new PagesPanel(true, parent);
    case OperationKind::Ocr:
        return new OcrPanel(chooseFolder, parent);
    case OperationKind::Optimize:
        return new NotePanel(u"不降采样图片。已充分压缩的 PDF 可能不会变小。"_s, parent);
    case OperationKind::Compress:
        return new CompressPanel(parent);
    case OperationKind::Encrypt:
        return new NewPasswordPanel(
            false, u"新密码也用于所有者验证，请妥善保存。密码丢失后无法恢复。"_s, parent);
    case OperationKind::PdfToImages:
        return new PdfToImagesPanel(parent);
    case OperationKind::ImagesToPdf:
        return new ImagesToPdfPanel(parent);
    case OperationKind::Stamp:
        return new StampPanel(parent);
    case OperationKind::Decrypt:
        return new NotePanel(
            u"保留原文件。带数字签名的 PDF 不会被处理，以免签名失效；如需修改，请在签署它的程序中进行。"_s,
            parent);
    }
    return new NotePanel(QString(), parent);
}

} // namespace batch
