#include "gui/prompter.h"

#include "gui/messagebox.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QInputDialog>
#include <QPushButton>

using namespace Qt::StringLiterals;

namespace batch {

QStringList Prompter::openFileNames(QWidget* parent, const QString& caption, const QString& filter,
                                    const QString& folder)
{
    return QFileDialog::getOpenFileNames(parent, caption, folder, filter);
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
    MessageBox box(parent, icon, title, text);
    box.addCopyButton();
    box.addButton(u"确定"_s, QDialogButtonBox::AcceptRole)->setDefault(true);
    box.exec();
}

bool Prompter::messageWithAction(QWidget* parent, const QString& title, const QString& text,
                                 const QString& actionText)
{
    MessageBox box(parent, QMessageBox::Information, title, text);
    box.addCopyButton();
    QPushButton* action = box.addButton(actionText, QDialogButtonBox::AcceptRole);
    box.addButton(u"确定"_s, QDialogButtonBox::RejectRole);
    box.exec();
    return box.clickedButton() == action;
}

bool Prompter::confirm(QWidget* parent, const QString& title, const QString& text,
                       const QString& actionText, const QString& backText)
{
    return choose(parent, title, text, {actionText, backText}) == 0;
}

int Prompter::choose(QWidget* parent, const QString& title, const QString& text,
                     const QStringList& answers)
{
    MessageBox box(parent, QMessageBox::Question, title, text);
    QList<QAbstractButton*> buttons;
    for (const QString& answer : answers)
        buttons << box.addButton(answer, buttons.size() + 1 == answers.size()
                                             ? QDialogButtonBox::RejectRole
                                             : QDialogButtonBox::AcceptRole);
    m_asking = &box;
    m_withdrawn = false;
    box.exec();
    m_asking = nullptr;
    if (m_withdrawn)
        return -1;
    const qsizetype chosen = buttons.indexOf(box.clickedButton());
    return int(chosen < 0 ? answers.size() - 1 : chosen);
}

void Prompter::withdraw()
{
    if (!m_asking)
        return;
    m_withdrawn = true;
    m_asking->reject();
}

std::optional<QString> Prompter::askPassword(QWidget* parent, const QString& title,
                                             const QString& label)
{
    bool accepted = false;
    const QString text =
        QInputDialog::getText(parent, title, label, QLineEdit::Password, QString(), &accepted);
    if (!accepted)
        return std::nullopt;
    return text;
}

bool Prompter::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

} // namespace batch
