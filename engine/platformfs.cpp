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

QString describeFailure(FailureKind kind, int error)
{
    static const QString sentences[] = {
        u"磁盘空间不足"_s,     u"磁盘配额已用完"_s,   u"文件超过系统允许的大小"_s,
        u"没有写入权限"_s,     u"文件正在使用"_s,     u"文件夹只读"_s,
        u"文件名或路径过长"_s, u"存储设备读写出错"_s, u"系统拒绝了该操作"_s};
    return u"%1（%2）"_s.arg(sentences[int(kind)], qt_error_string(error));
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
