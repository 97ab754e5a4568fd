#include "engine/platformlogin.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           u"/autostart/quorvin-pdf-batch.desktop"_s;
}

// A desktop entry's Exec argument: quoted, with the characters that desktop
// entries reserve inside quotes escaped.
QString quotedArgument(QString argument)
{
    for (const QChar reserved : {u'\\', u'"', u'`', u'$'})
        argument.replace(reserved, u"\\"_s + reserved);
    // The entry is a string value too, where a backslash is escaped again.
    argument.replace(u"\\"_s, u"\\\\"_s);
    return u'"' + argument + u'"';
}

} // namespace

bool startsAtLogin()
{
    return QFile::exists(entryPath());
}

QString setStartAtLogin(bool on, const QString& program)
{
    const QString path = entryPath();
    if (!on) {
        if (QFile::exists(path) && !QFile::remove(path))
            return u"无法删除自动启动项 %1。"_s.arg(path);
        return {};
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile entry(path);
    const QByteArray text = u"[Desktop Entry]\nType=Application\nName=Quorvin PDF 批量处理\n"
                            u"Comment=开机时启动并继续监视文件夹\nExec=%1\nTerminal=false\n"
                            u"X-GNOME-Autostart-enabled=true\n"_s.arg(quotedArgument(program))
                                .toUtf8();
    if (!entry.open(QIODevice::WriteOnly) || entry.write(text) != text.size() || !entry.commit())
        return u"无法写入自动启动项 %1：%2"_s.arg(path, entry.errorString());
    return {};
}

} // namespace batch
