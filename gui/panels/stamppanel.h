// Page numbers, Bates numbers and watermarks: three parts, each switched on
// by its own box.
#pragma once

#include "gui/panels/operationpanel.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QSpinBox;

namespace batch {

class StampPanel : public OperationPanel
{
public:
    explicit StampPanel(QWidget* parent);

    QString note() const override;
    std::optional<PanelProblem> problem() const override;
    void fillRequest(JobRequest& request) const override;

private:
    QWidget* numbersRow();
    QWidget* batesRow();
    QWidget* textRow();
    QWidget* imageRow();
    void showEnabled();
    template <typename Field> Field* remembered(Field* field, const QString& key);

    QCheckBox* m_numbers = nullptr;
    QLineEdit* m_format = nullptr;
    QComboBox* m_position = nullptr;
    QSpinBox* m_first = nullptr;
    QSpinBox* m_skip = nullptr;
    QDoubleSpinBox* m_fontSize = nullptr;
    QCheckBox* m_bates = nullptr;
    QLineEdit* m_prefix = nullptr;
    QSpinBox* m_digits = nullptr;
    QSpinBox* m_batesStart = nullptr;
    QCheckBox* m_text = nullptr;
    QLineEdit* m_watermark = nullptr;
    QSpinBox* m_angle = nullptr;
    QSpinBox* m_opacity = nullptr;
    QComboBox* m_colour = nullptr;
    QCheckBox* m_tiled = nullptr;
    QCheckBox* m_behind = nullptr;
    QCheckBox* m_image = nullptr;
    QLineEdit* m_imagePath = nullptr;
    QComboBox* m_imagePosition = nullptr;
    QSpinBox* m_scale = nullptr;
};

} // namespace batch
