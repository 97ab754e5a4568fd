// One window per user receives files: a second start (Send To, the Explorer
// menu, a double click, a file manager) hands its files to the window already
// open, which adds them and comes forward, and then ends.
#pragma once

#include <QLocalServer>
#include <QStringList>

#include <functional>

namespace batch {

class WindowHandOver : public QObject
{
public:
    // True when a window of this user's was open and took `files`.
    static bool handToOpenWindow(const QStringList& files);

    // Listens for later starts; `receive` gets the files each hands over.
    explicit WindowHandOver(std::function<void(const QStringList&)> receive);

private:
    QLocalServer m_server;
    std::function<void(const QStringList&)> m_receive;
};

} // namespace batch
