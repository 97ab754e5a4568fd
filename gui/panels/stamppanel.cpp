#include "gui/panels/stamppanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr int partBoxWidth = firstLabelWidth + 24;

QCheckBox* partBox(const QString& text, const QString& name)
{
    auto* box = new QCheckBox(text);
    box->setObjectName(name);
    box->setFixedWidth(partBoxWidth);
    return box;
}

// A part of two lines: the first returned, the second below it, indented
// past the part's box.
std::pair<QHBoxLayout*, QHBoxLayout*> twoLines(QWidget* part)
{
    auto* column = new QVBoxLayout(part);
    column->setContentsMargins(0, 0, 0, 0);
    auto* first = new QHBoxLayout;
    auto* second = new QHBoxLayout;
    second->addSpacing(partBoxWidth);
    column->addLayout(first);
    column->addLayout(second);
    return {first, second};
}

// The six places at the edges, and for a picture the centre too.
QComboBox* positionBox(const QString& name, const QString& accessible, bool centre)
{
    auto* box = new QComboBox;
    box->setObjectName(name);
    box->setAccessibleName(accessible);
    const QList<std::pair<QString, QString>> positions{
        {u"底部居中"_s, u"bottom-center"_s}, {u"底部右侧"_s, u"bottom-right"_s},
        {u"底部左侧"_s, u"bottom-left"_s},   {u"顶部居中"_s, u"top-center"_s},
        {u"顶部右侧"_s, u"top-right"_s},     {u"顶部左侧"_s, u"top-left"_s}};
    if (centre)
        box->addItem(u"页面中央"_s, u"center"_s);
    for (const auto& [label, value] : positions)
        box->addItem(label, value);
    return box;
}

QSpinBox* spin(const QString& name, const QString& accessible, int low, int high, int value)
{
    auto* box = new QSpinBox;
    box->setMinimumWidth(96);
    box->setObjectName(name);
    box->setAccessibleName(accessible);
    box->setRange(low, high);
    box->setValue(value);
    return box;
}

} // namespace

template <typename Field> Field* StampPanel::remembered(Field* field, const QString& key)
{
    rememberField(field, u"stamp/"_s + key);
    return field;
}

StampPanel::StampPanel(QWidget* parent) : OperationPanel(parent)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(numbersRow());
    column->addWidget(batesRow());
    column->addWidget(textRow());
    column->addWidget(imageRow());
    showEnabled();
    for (QCheckBox* box : findChildren<QCheckBox*>())
        connect(box, &QCheckBox::toggled, this, [this] {
            showEnabled();
            emit settingChanged();
        });
    for (QLineEdit* edit : findChildren<QLineEdit*>())
        connect(edit, &QLineEdit::textChanged, this, &OperationPanel::settingChanged);
    for (QSpinBox* box : findChildren<QSpinBox*>())
        connect(box, &QSpinBox::valueChanged, this, &OperationPanel::settingChanged);
    for (QComboBox* box : findChildren<QComboBox*>())
        connect(box, &QComboBox::currentTextChanged, this, &OperationPanel::settingChanged);
    connect(m_fontSize, &QDoubleSpinBox::valueChanged, this, &OperationPanel::settingChanged);
}

QWidget* StampPanel::numbersRow()
{
    auto* widget = new QWidget;
    const auto [row, more] = twoLines(widget);
    m_numbers = remembered(partBox(u"页码"_s, u"numbers"_s), u"numbers"_s);
    row->addWidget(m_numbers);
    m_format = new QLineEdit(u"第 {n} 页 共 {total} 页"_s);
    m_format->setObjectName(u"numberFormat"_s);
    m_format->setAccessibleName(u"页码格式，{n} 为页码，{total} 为总页数"_s);
    m_format->setToolTip(
        u"{n} 为页码，{total} 为最后一页的页码，例如“第 {n} 页 共 {total} 页”“- {n} -”“{n} / {total}”"_s);
    row->addWidget(remembered(m_format, u"format"_s), 1);
    m_position = positionBox(u"numberPosition"_s, u"页码位置"_s, false);
    row->addWidget(remembered(m_position, u"position"_s));
    more->addWidget(makeLabel(u"起始页码"_s));
    m_first = remembered(spin(u"firstNumber"_s, u"起始页码"_s, 0, 1000000, 1), u"first"_s);
    more->addWidget(m_first);
    more->addWidget(makeLabel(u"跳过前"_s));
    m_skip = remembered(spin(u"skipFirst"_s, u"不编号的前几页"_s, 0, 10000, 0), u"skip"_s);
    m_skip->setSuffix(u" 页"_s);
    more->addWidget(m_skip);
    more->addWidget(makeLabel(u"字号"_s));
    m_fontSize = new QDoubleSpinBox;
    m_fontSize->setObjectName(u"fontSize"_s);
    m_fontSize->setAccessibleName(u"页码字号"_s);
    m_fontSize->setRange(4, 72);
    m_fontSize->setValue(JobRequest().fontSize);
    m_fontSize->setSuffix(u" 磅"_s);
    more->addWidget(remembered(m_fontSize, u"fontSize"_s));
    more->addStretch();
    return widget;
}

QWidget* StampPanel::batesRow()
{
    auto* widget = new QWidget;
    QHBoxLayout* row = panelRow(widget);
    m_bates = remembered(partBox(u"Bates 编号"_s, u"bates"_s), u"bates"_s);
    row->addWidget(m_bates);
    m_prefix = new QLineEdit;
    m_prefix->setObjectName(u"batesPrefix"_s);
    m_prefix->setAccessibleName(u"Bates 前缀"_s);
    m_prefix->setPlaceholderText(u"前缀，例如 ABC-"_s);
    row->addWidget(remembered(m_prefix, u"batesPrefix"_s), 1);
    row->addWidget(makeLabel(u"位数"_s));
    m_digits = remembered(spin(u"batesDigits"_s, u"Bates 位数"_s, 1, 12, 6), u"batesDigits"_s);
    row->addWidget(m_digits);
    row->addWidget(makeLabel(u"起始"_s));
    m_batesStart =
        remembered(spin(u"batesStart"_s, u"Bates 起始编号"_s, 0, 999999999, 1), u"batesStart"_s);
    row->addWidget(m_batesStart);
    return widget;
}

QWidget* StampPanel::textRow()
{
    auto* widget = new QWidget;
    const auto [row, more] = twoLines(widget);
    m_text = remembered(partBox(u"文字水印"_s, u"textWatermark"_s), u"text"_s);
    row->addWidget(m_text);
    m_watermark = new QLineEdit;
    m_watermark->setObjectName(u"watermarkText"_s);
    m_watermark->setAccessibleName(u"水印文字"_s);
    m_watermark->setPlaceholderText(u"内部资料"_s);
    row->addWidget(remembered(m_watermark, u"watermark"_s), 1);
    m_colour = new QComboBox;
    m_colour->setObjectName(u"watermarkColor"_s);
    m_colour->setAccessibleName(u"水印颜色"_s);
    m_colour->addItem(u"灰色"_s, u"#808080"_s);
    m_colour->addItem(u"红色"_s, u"#d0021b"_s);
    m_colour->addItem(u"蓝色"_s, u"#1f5fbf"_s);
    m_colour->addItem(u"黑色"_s, u"#000000"_s);
    row->addWidget(remembered(m_colour, u"colour"_s));
    m_tiled = remembered(new QCheckBox(u"平铺"_s), u"tiled"_s);
    m_tiled->setObjectName(u"watermarkTiled"_s);
    row->addWidget(m_tiled);
    m_behind = remembered(new QCheckBox(u"置于内容下方"_s), u"behind"_s);
    m_behind->setObjectName(u"watermarkBehind"_s);
    row->addWidget(m_behind);
    more->addWidget(makeLabel(u"角度"_s));
    m_angle = remembered(spin(u"watermarkAngle"_s, u"水印角度"_s, -180, 180, 45), u"angle"_s);
    m_angle->setSuffix(u"°"_s);
    more->addWidget(m_angle);
    more->addWidget(makeLabel(u"不透明度"_s));
    m_opacity =
        remembered(spin(u"watermarkOpacity"_s, u"水印不透明度"_s, 5, 100, 30), u"opacity"_s);
    m_opacity->setSuffix(u"%"_s);
    more->addWidget(m_opacity);
    more->addStretch();
    return widget;
}

QWidget* StampPanel::imageRow()
{
    auto* widget = new QWidget;
    QHBoxLayout* row = panelRow(widget);
    m_image = remembered(partBox(u"图片水印"_s, u"imageWatermark"_s), u"image"_s);
    row->addWidget(m_image);
    m_imagePath = new QLineEdit;
    m_imagePath->setObjectName(u"watermarkImage"_s);
    m_imagePath->setAccessibleName(u"水印图片（PNG 或 JPEG）"_s);
    m_imagePath->setPlaceholderText(u"PNG 或 JPEG，例如公司印章"_s);
    row->addWidget(remembered(m_imagePath, u"imagePath"_s), 1);
    auto* choose = new QPushButton(u"选择…"_s);
    connect(choose, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(
            this, u"选择水印图片"_s, m_imagePath->text(), u"图片 (*.png *.jpg *.jpeg)"_s);
        if (!file.isEmpty())
            m_imagePath->setText(file);
    });
    row->addWidget(choose);
    m_imagePosition = positionBox(u"watermarkImagePosition"_s, u"图片水印位置"_s, true);
    row->addWidget(remembered(m_imagePosition, u"imagePosition"_s));
    row->addWidget(makeLabel(u"宽度"_s));
    m_scale = remembered(spin(u"watermarkScale"_s, u"图片宽度占页宽"_s, 5, 100, 25), u"scale"_s);
    m_scale->setSuffix(u"%"_s);
    row->addWidget(m_scale);
    return widget;
}

void StampPanel::showEnabled()
{
    for (QWidget* field : {static_cast<QWidget*>(m_format), static_cast<QWidget*>(m_position),
                           static_cast<QWidget*>(m_first), static_cast<QWidget*>(m_skip)})
        field->setEnabled(m_numbers->isChecked());
    m_fontSize->setEnabled(m_numbers->isChecked() || m_bates->isChecked());
    for (QWidget* field : {static_cast<QWidget*>(m_prefix), static_cast<QWidget*>(m_digits),
                           static_cast<QWidget*>(m_batesStart)})
        field->setEnabled(m_bates->isChecked());
    for (QWidget* field : {static_cast<QWidget*>(m_watermark), static_cast<QWidget*>(m_angle),
                           static_cast<QWidget*>(m_colour), static_cast<QWidget*>(m_tiled)})
        field->setEnabled(m_text->isChecked());
    m_imagePath->setEnabled(m_image->isChecked());
    m_imagePosition->setEnabled(m_image->isChecked());
    m_scale->setEnabled(m_image->isChecked());
    m_opacity->setEnabled(m_text->isChecked() || m_image->isChecked());
    m_behind->setEnabled(m_text->isChecked() || m_image->isChecked());
}

QString StampPanel::note() const
{
    return u"Bates 编号按列表顺序在各文件间连续。位置按阅读器中看到的页面计算（含裁剪和旋转）。页码是可搜索的文字；水印不会被复制或搜索到，可在阅读器的“图层”中隐藏。原页面内容和表单不变。"_s;
}

std::optional<PanelProblem> StampPanel::problem() const
{
    if (!m_numbers->isChecked() && !m_bates->isChecked() && !m_text->isChecked() &&
        !m_image->isChecked())
        return PanelProblem{u"页码与水印"_s, u"请至少勾选页码、Bates 编号或水印中的一项。"_s,
                            m_numbers};
    if (m_numbers->isChecked() && !m_format->text().contains(u"{n}"_s))
        return PanelProblem{u"检查页码格式"_s,
                            u"页码格式需包含 {n}，例如“第 {n} 页 共 {total} 页”。"_s, m_format};
    if (m_image->isChecked() && !QFileInfo(m_imagePath->text()).isFile())
        return PanelProblem{u"选择水印图片"_s, u"请选择作为水印的 PNG 或 JPEG 图片。"_s,
                            m_imagePath};
    return std::nullopt;
}

void StampPanel::fillRequest(JobRequest& request) const
{
    request.numberFormat = m_numbers->isChecked() ? m_format->text() : QString();
    request.numberPosition = m_position->currentData().toString();
    request.firstNumber = m_first->value();
    request.skipFirst = m_skip->value();
    request.fontSize = m_fontSize->value();
    request.batesPrefix = m_prefix->text();
    request.batesDigits = m_bates->isChecked() ? m_digits->value() : 0;
    request.batesStart = m_batesStart->value();
    const QString text = m_watermark->text().trimmed();
    request.watermarkText =
        m_text->isChecked() ? (text.isEmpty() ? m_watermark->placeholderText() : text) : QString();
    request.watermarkAngle = m_angle->value();
    request.watermarkOpacity = m_opacity->value() / 100.0;
    request.watermarkColor = m_colour->currentData().toString();
    request.watermarkTiled = m_tiled->isChecked();
    request.watermarkBehind = m_behind->isChecked();
    request.watermarkImage = m_image->isChecked() ? m_imagePath->text() : QString();
    request.watermarkScale = m_scale->value() / 100.0;
    request.watermarkImagePosition = m_imagePosition->currentData().toString();
}

} // namespace batch
