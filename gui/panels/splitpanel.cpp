#include "gui/panels/splitpanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QStackedWidget>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace batch {

SplitPanel::SplitPanel(QWidget* parent) : OperationPanel(parent)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    auto* row = new QHBoxLayout;
    row->addWidget(firstLabel(u"拆分方式"_s));
    m_mode = new QComboBox;
    m_mode->setObjectName(u"splitMode"_s);
    m_mode->setAccessibleName(u"拆分方式"_s);
    m_mode->addItem(u"按页数"_s, u"pages"_s);
    m_mode->addItem(u"按书签"_s, u"bookmarks"_s);
    m_mode->addItem(u"按大小"_s, u"size"_s);
    m_mode->addItem(u"按空白页"_s, u"blank"_s);
    row->addWidget(m_mode);
    row->addStretch();
    column->addLayout(row);
    m_pages = new QStackedWidget;
    m_pages->addWidget(pagesPage());
    m_pages->addWidget(bookmarksPage());
    m_pages->addWidget(sizePage());
    m_pages->addWidget(blankPage());
    column->addWidget(m_pages);
    rememberField(m_mode, u"split/mode"_s);
    m_pages->setCurrentIndex(m_mode->currentIndex());
    connect(m_mode, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_pages->setCurrentIndex(index);
        emit settingChanged();
        emit shapeChanged();
    });
}

QWidget* SplitPanel::pagesPage()
{
    auto* page = new QWidget;
    QHBoxLayout* row = panelRow(page);
    row->addWidget(firstLabel(u"每份页数"_s));
    m_group = new QSpinBox;
    m_group->setObjectName(u"group"_s);
    m_group->setRange(1, 100000);
    m_group->setAccessibleName(u"每份页数"_s);
    rememberField(m_group, u"split/group"_s);
    row->addWidget(m_group);
    // Or where the parts end, as the page preview's clicks choose them.
    row->addWidget(makeLabel(u"在这些页后拆分"_s));
    m_after = new QLineEdit;
    m_after->setObjectName(u"pages"_s);
    m_after->setAccessibleName(u"在这些页后拆分"_s);
    m_after->setPlaceholderText(u"留空按每份页数；例如 3,7"_s);
    rememberField(m_after, u"split/pages"_s);
    row->addWidget(m_after, 1);
    connect(m_group, &QSpinBox::valueChanged, this, &OperationPanel::settingChanged);
    connect(m_after, &QLineEdit::textChanged, this, [this] {
        const bool chosen = !m_after->text().trimmed().isEmpty();
        m_group->setEnabled(!chosen);
        // Points marked in the page preview are a split by pages.
        if (chosen)
            m_mode->setCurrentIndex(0);
        emit settingChanged();
    });
    m_group->setEnabled(m_after->text().trimmed().isEmpty());
    return page;
}

QWidget* SplitPanel::bookmarksPage()
{
    auto* page = new QWidget;
    QHBoxLayout* row = panelRow(page);
    row->addWidget(firstLabel(u"书签级别"_s));
    m_level = new QSpinBox;
    m_level->setObjectName(u"level"_s);
    m_level->setAccessibleName(u"书签级别"_s);
    m_level->setRange(1, 64);
    rememberField(m_level, u"split/level"_s);
    row->addWidget(m_level);
    row->addWidget(mutedLabel(u"每个该级书签开始一份，以书签标题命名"_s), 1);
    connect(m_level, &QSpinBox::valueChanged, this, &OperationPanel::settingChanged);
    return page;
}

QWidget* SplitPanel::sizePage()
{
    auto* page = new QWidget;
    QHBoxLayout* row = panelRow(page);
    row->addWidget(firstLabel(u"每份最大"_s));
    m_maxSize = new QDoubleSpinBox;
    m_maxSize->setObjectName(u"maxSize"_s);
    m_maxSize->setAccessibleName(u"每份最大（MB）"_s);
    m_maxSize->setRange(0.1, 4096);
    m_maxSize->setDecimals(1);
    m_maxSize->setValue(10);
    m_maxSize->setSuffix(u" MB"_s);
    rememberField(m_maxSize, u"split/maxSize"_s);
    row->addWidget(m_maxSize);
    row->addWidget(mutedLabel(u"按写出的文件大小装入连续页面"_s), 1);
    connect(m_maxSize, &QDoubleSpinBox::valueChanged, this, &OperationPanel::settingChanged);
    return page;
}

QWidget* SplitPanel::blankPage()
{
    auto* page = new QWidget;
    QHBoxLayout* row = panelRow(page);
    row->addWidget(firstLabel(u"空白阈值"_s));
    m_threshold = new QDoubleSpinBox;
    m_threshold->setObjectName(u"blankThreshold"_s);
    m_threshold->setAccessibleName(u"空白阈值（墨迹占页面的百分比）"_s);
    m_threshold->setToolTip(
        u"墨迹低于页面此比例即视为空白分隔页。扫描噪点、透印、页码和装订孔不计；"
        u"一行短字约 0.03%。误把有字页当作空白时调低，漏掉分隔页时调高。"_s);
    m_threshold->setRange(0.001, 10);
    m_threshold->setDecimals(3);
    m_threshold->setSingleStep(0.005);
    m_threshold->setValue(JobRequest().blankThreshold);
    m_threshold->setSuffix(u" %"_s);
    rememberField(m_threshold, u"split/blankThreshold"_s);
    row->addWidget(m_threshold);
    m_keepSeparators = new QCheckBox(u"保留分隔页"_s);
    m_keepSeparators->setObjectName(u"keepSeparators"_s);
    rememberField(m_keepSeparators, u"split/keepSeparators"_s);
    row->addWidget(m_keepSeparators);
    row->addStretch();
    connect(m_threshold, &QDoubleSpinBox::valueChanged, this, &OperationPanel::settingChanged);
    connect(m_keepSeparators, &QCheckBox::toggled, this, &OperationPanel::settingChanged);
    return page;
}

QString SplitPanel::mode() const
{
    return m_mode->currentData().toString();
}

QString SplitPanel::note() const
{
    if (mode() == u"bookmarks"_s)
        return u"第一个书签之前的页面另存为“00-封面”；每份保留其下级书签。"_s;
    if (mode() == u"size"_s)
        return u"每份按实际写出的大小计算；单页已超过上限时单独成份，并在结果中注明。"_s;
    if (mode() == u"blank"_s)
        return u"空白页（只有扫描噪点、透印或页码）作为分隔，连续空白页只分隔一次；没有空白页的文档保持一份。"_s;
    return u"表单字段、书签和链接随所留页面保留；XFA 表单和带结构标签的文档可能无法删减页面，会显示具体原因。"_s;
}

std::optional<PanelProblem> SplitPanel::problem() const
{
    if (mode() != u"pages"_s)
        return std::nullopt;
    return pageRangeProblem(m_after);
}

void SplitPanel::fillRequest(JobRequest& request) const
{
    request.splitMode = mode();
    request.group = m_group->value();
    request.pages = mode() == u"pages"_s ? m_after->text() : QString();
    request.level = m_level->value();
    // Megabytes as the window shows sizes: 1 MB is 1024 × 1024 bytes.
    request.maxSize = qRound64(m_maxSize->value() * 1024 * 1024);
    request.keepSeparators = m_keepSeparators->isChecked();
    request.blankThreshold = m_threshold->value();
}

} // namespace batch
