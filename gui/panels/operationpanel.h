// One operation's settings: its fields, what it checks before a batch starts,
// its part of the job request, and the note under it. The window holds one
// panel per operation and shows the current one; a new operation is a new
// panel and a catalogue entry.
#pragma once

#include "protocol/request.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

class QHBoxLayout;
class QLabel;
class QLineEdit;

namespace batch {

struct Operation;

// Why a batch may not start yet: the message box's title and text, and the
// field to put the cursor in.
struct PanelProblem
{
    QString title;
    QString message;
    QWidget* field = nullptr;
};

class OperationPanel : public QWidget
{
    Q_OBJECT
public:
    using QWidget::QWidget;

    // The advisory line shown under the settings.
    virtual QString note() const = 0;
    // Checked before any worker starts; what each document allows is checked by its job.
    virtual std::optional<PanelProblem> problem() const { return std::nullopt; }
    // Sets the request members this operation reads.
    virtual void fillRequest(JobRequest& request) const = 0;
    // The operation was chosen again: what must not outlive a visit (a new
    // password) is cleared; everything else stays as it was typed.
    virtual void enter() {}
    // Settings kept between runs of the program.
    virtual void saveSettings() const {}

signals:
    // A setting that changes results: the rows go back to waiting.
    void settingChanged();
    // The note or the fields shown changed.
    void shapeChanged();
};

// Opens a folder dialog with this caption at this folder; "" when cancelled.
using FolderChooser = std::function<QString(const QString& caption, const QString& folder)>;

// The panel of `operation`, owned by `parent`.
OperationPanel* makeOperationPanel(const Operation& operation, const FolderChooser& chooseFolder,
                                   QWidget* parent);

// A settings label that wraps, in plain text; the first label of a row is
// `firstLabelWidth` wide so that the fields after them start in one column.
QLabel* makeLabel(const QString& text, const QString& objectName = QString());
// A settings row without margins, and its first label, as wide in every panel.
QHBoxLayout* panelRow(QWidget* panel);
QLabel* firstLabel(const QString& text);
// The page range `field` holds, when it is not one.
std::optional<PanelProblem> pageRangeProblem(QLineEdit* field);
QLabel* mutedLabel(const QString& text);
// Keeps what `field` holds (a combo box's choice, a spin box's number, a line
// of text) between runs of the program under `key`: read back now, written
// whenever it changes. Never for a password.
void rememberField(QWidget* field, const QString& key);
constexpr int firstLabelWidth = 80;

} // namespace batch
