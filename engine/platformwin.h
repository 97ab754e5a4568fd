// What the Windows implementations of the platform layer share.
#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <string>

namespace batch::win {

// `path` as the wide calls take it: absolute, with backslashes, and in the
// long-path form past MAX_PATH, which the program's manifest declares it
// understands.
inline std::wstring nativeName(const QString& path)
{
    if (path.startsWith(u"\\\\?\\"))
        return path.toStdWString();
    QString native = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    constexpr qsizetype shortLimit = 248; // MAX_PATH less room for a folder's 8.3 entry
    if (native.size() >= shortLimit) {
        native = native.startsWith(u"\\\\") ? QString(u"\\\\?\\UNC\\" + native.mid(2))
                                            : QString(u"\\\\?\\" + native);
    }
    return native.toStdWString();
}

} // namespace batch::win
