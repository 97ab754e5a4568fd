// A split's settings: how parts end ("拆分方式") and what that way needs.
#pragma once

#include "gui/panels/operationpanel.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QSpinBox;
class QStackedWidget;

namespace batch {

class SplitPanel : public OperationPanel
{
public:
    explicit SplitPanel(QWidget* parent);

    QString note() const override;
    std::optional<PanelProblem> problem() const override;
    void fillRequest(JobRequest& request) const override;

private:
    QWidget* pagesPage();
    QWidget* bookmarksPage();
    QWidget* sizePage();
    QWidget* blankPage();
    QString mode() const;

    QComboBox* m_mode = nullptr;
    QStackedWidget* m_pages = nullptr;
    QSpinBox* m_group = nullptr;
    QLineEdit* m_after = nullptr;
    QSpinBox* m_level = nullptr;
    QDoubleSpinBox* m_maxSize = nullptr;
    QCheckBox* m_keepSeparators = nullptr;
    QDoubleSpinBox* m_threshold = nullptr;
};

} // namespace batch
