// Recognition's settings: language, resolution, output kind, kept text pages
// and the language-pack folder, with a line saying whether its models are there.
#pragma once

#include "gui/panels/operationpanel.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace batch {

class OcrPanel : public OperationPanel
{
public:
    OcrPanel(FolderChooser chooseFolder, QWidget* parent);

    QString note() const override;
    std::optional<PanelProblem> problem() const override;
    void fillRequest(JobRequest& request) const override;
    void saveSettings() const override;

private:
    OcrRequest options() const;
    void updateStatus();
    void chooseModels();
    void openLanguagePacks();

    FolderChooser m_chooseFolder;
    QComboBox* m_language = nullptr;
    QComboBox* m_dpi = nullptr;
    QComboBox* m_outputKind = nullptr;
    QCheckBox* m_keepText = nullptr;
    QLineEdit* m_models = nullptr;
    QLabel* m_status = nullptr;
};

} // namespace batch
