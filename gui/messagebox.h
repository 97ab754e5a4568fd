// The window's message box. Qt's own keeps its text on one unwrapped label
// below a width of its choosing, so a long path or reason was cut off. Here
// the text wraps anywhere it must (paths have no spaces), can be selected,
// scrolls when it is longer than the screen allows, and can be copied whole:
// people paste error messages into chats.
#pragma once

#include <QDialog>
#include <QDialogButtonBox>
#include <QMessageBox>

class QTextEdit;

namespace batch {

class MessageBox : public QDialog
{
    Q_OBJECT

public:
    MessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text);

    // The first button added with RejectRole answers Escape and is the default.
    QPushButton* addButton(const QString& text, QDialogButtonBox::ButtonRole role);
    // A "复制" button that puts the whole text on the clipboard.
    void addCopyButton();
    // Sizes the box for a screen whose free area is `available`: as wide as a
    // comfortable line, and no taller than most of the screen. Done by exec()
    // for the parent's screen.
    void fitTo(const QRect& available);
    // The button that closed the box; nothing when it was closed otherwise.
    QAbstractButton* clickedButton() const { return m_clicked; }
    QTextEdit* textArea() const { return m_text; }
    // What a user could not read on the box as shown: its text when part of
    // it is neither in sight nor reachable by scrolling, a button's label
    // when it is cut. Empty when everything can be read.
    QStringList cutParts() const;

    int exec() override;

private:
    QTextEdit* m_text = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
    QAbstractButton* m_clicked = nullptr;
    QAbstractButton* m_escape = nullptr;
    bool m_fitted = false;
};

} // namespace batch
