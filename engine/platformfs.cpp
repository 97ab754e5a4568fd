// What the file-system layer does alike on every system; the rest is in
// platformfs_posix.cpp and platformfs_windows.cpp, one of which the build takes.
#include "engine/platformfs.h"

#include "protocol/protocol.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTextBoundaryFinder>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace batch {

void failToSave(int error)
{
    fail(u"无法保存结果：%1。原文件和已有结果均未覆盖。"_s.arg(systemReason(error)));
}

QString privateWorkBase()
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    return !cache.isEmpty() && QDir().mkpath(cache) ? cache : QDir::tempPath();
}

QString fitName(const QString& name, qsizetype limit, qsizetype (*measure)(const QString&))
{
    QString fitted = name;
    QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, name);
    boundaries.toEnd();
    // Whole characters only: half of one cannot be encoded as a file name.
    while (!fitted.isEmpty() && measure(fitted) > limit) {
        const qsizetype previous = boundaries.toPreviousBoundary();
        fitted.truncate(std::max<qsizetype>(previous, 0));
    }
    return fitted;
}

} // namespace batch
