// Everything the window asks of the desktop: file dialogs, message boxes and
// opening files or web pages. Tests install their own answers.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

class QWidget;

namespace batch {
class MessageBox;
}

namespace batch {

class Prompter
{
public:
    virtual ~Prompter() = default;
    // Opens at `folder`.
    virtual QStringList openFileNames(QWidget* parent, const QString& caption,
                                      const QString& filter, const QString& folder);
    virtual QString existingDirectory(QWidget* parent, const QString& caption,
                                      const QString& start);
    // `filter` is one or more "Name (*.ext)" separated by ";;"; `chosenFilter`
    // receives the one selected.
    virtual QString saveFileName(QWidget* parent, const QString& caption, const QString& suggested,
                                 const QString& filter, QString* chosenFilter = nullptr);
    virtual void message(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                         const QString& text);
    // A box with OK and one extra action button; true when the extra button closed it.
    virtual bool messageWithAction(QWidget* parent, const QString& title, const QString& text,
                                   const QString& actionText);
    // A question with an action and a way back; true when the action was chosen.
    virtual bool confirm(QWidget* parent, const QString& title, const QString& text,
                         const QString& actionText, const QString& backText);
    // A question with several answers, the last of them the way back (Escape
    // and the default); the index of the one chosen, -1 when it was withdrawn.
    virtual int choose(QWidget* parent, const QString& title, const QString& text,
                       const QStringList& answers);
    // Takes back the question choose() has open, when what it asked about is
    // settled meanwhile.
    virtual void withdraw();
    // A password typed without echo; nothing when the dialog was cancelled.
    virtual std::optional<QString> askPassword(QWidget* parent, const QString& title,
                                               const QString& label);
    // False when nothing could open it (no browser, no viewer).
    virtual bool openUrl(const QUrl& url);

private:
    QPointer<MessageBox> m_asking;
    bool m_withdrawn = false;
};

} // namespace batch
