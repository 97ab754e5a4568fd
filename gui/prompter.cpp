#include "gui/prompter.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QPushButton>

namespace batch {

namespace {

// Paths and addresses in a box can be selected and copied, and the box is
// wide enough that its title is not cut. Only the text is widened: a minimum
// width on every label widened the icon's too, leaving a gap beside it.
void prepare(QMessageBox& box)
{
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.setStyleSheet(QStringLiteral("QLabel#qt_msgbox_label { min-width: 340px; }"));
}

} // namespace

QStringList Prompter::openFileNames(QWidget* parent, const QString& caption, const QString& filter)
{
    return QFileDialog::getOpenFileNames(parent, caption, QString(), filter);
}

QString Prompter::existingDirectory(QWidget* parent, const QString& caption, const QString& start)
{
    return QFileDialog::getExistingDirectory(parent, caption, start, QFileDialog::ShowDirsOnly);
}

QString Prompter::saveFileName(QWidget* parent, const QString& caption, const QString& suggested,
                               const QString& filter, QString* chosenFilter)
{
    return QFileDialog::getSaveFileName(parent, caption, suggested, filter, chosenFilter);
}

void Prompter::message(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                       const QString& text)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    prepare(box);
    box.exec();
}

bool Prompter::messageWithAction(QWidget* parent, const QString& title, const QString& text,
                                 const QString& actionText)
{
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
    prepare(box);
    QPushButton* action = box.addButton(actionText, QMessageBox::ActionRole);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
    return box.clickedButton() == action;
}

bool Prompter::confirm(QWidget* parent, const QString& title, const QString& text,
                       const QString& actionText, const QString& backText)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    prepare(box);
    QPushButton* action = box.addButton(actionText, QMessageBox::AcceptRole);
    QPushButton* back = box.addButton(backText, QMessageBox::RejectRole);
    box.setDefaultButton(back);
    box.setEscapeButton(back);
    box.exec();
    return box.clickedButton() == action;
}

int Prompter::choose(QWidget* parent, const QString& title, const QString& text,
                     const QStringList& answers)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    prepare(box);
    QList<QPushButton*> buttons;
    for (const QString& answer : answers)
        buttons << box.addButton(answer, buttons.size() + 1 == answers.size()
                                             ? QMessageBox::RejectRole
                                             : QMessageBox::AcceptRole);
    box.setDefaultButton(buttons.last());
    box.setEscapeButton(buttons.last());
    box.exec();
    const qsizetype chosen = buttons.indexOf(qobject_cast<QPushButton*>(box.clickedButton()));
    return int(chosen < 0 ? answers.size() - 1 : chosen);
}

bool Prompter::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

} // namespace batch
