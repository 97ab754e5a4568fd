#include "gui/handover.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// Per user: names of local servers are shared by every user of a machine.
QString serverName()
{
    const QByteArray user =
        QCryptographicHash::hash(QDir::homePath().toUtf8(), QCryptographicHash::Sha256).toHex();
    return u"quorvin-pdf-batch-"_s + QString::fromLatin1(user.left(16));
}

// One absolute path per line; a line can hold any character a name can but a line end.
constexpr int waitMs = 2000;

} // namespace

bool WindowHandOver::handToOpenWindow(const QStringList& files)
{
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(waitMs))
        return false;
    QByteArray lines;
    for (const QString& file : files)
        lines += QDir::cleanPath(QDir::current().absoluteFilePath(file)).toUtf8() + '\n';
    socket.write(lines.isEmpty() ? QByteArray("\n") : lines);
    if (!socket.waitForBytesWritten(waitMs))
        return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(waitMs);
    return true;
}

WindowHandOver::WindowHandOver(std::function<void(const QStringList&)> receive)
    : m_receive(std::move(receive))
{
    // A server file left by a window that crashed (POSIX) would refuse to listen.
    QLocalServer::removeServer(serverName());
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    m_server.listen(serverName());
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
                QStringList files;
                for (const QByteArray& line : socket->readAll().split('\n')) {
                    if (!line.isEmpty())
                        files.append(QString::fromUtf8(line));
                }
                socket->deleteLater();
                m_receive(files);
            });
        }
    });
}

} // namespace batch
