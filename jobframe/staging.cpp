#include "jobframe/staging.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

const QString stagingPrefix = u".quorvin-batch-"_s;
const QString lockName = u".lock"_s;
// A folder without a lock file is younger than this only in the moment
// between its creation and the lock; older, its worker died in that moment.
constexpr qint64 unlockedGraceSeconds = 600;

} // namespace

StagingFolder::StagingFolder(const QString& outputFolder)
    : m_folder(outputFolder + u'/' + stagingPrefix + u"XXXXXX"_s)
{
    if (m_folder.isValid())
        m_lock.tryLock(QDir(m_folder.path()).filePath(lockName));
}

StagingFolder::~StagingFolder() = default;

bool StagingFolder::isValid() const
{
    return m_folder.isValid() && m_lock.isLocked();
}

int removeStaleStagingFolders(const QString& outputFolder)
{
    int removed = 0;
    const QFileInfoList entries =
        QDir(outputFolder)
            .entryInfoList({stagingPrefix + u'*'},
                           QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QFileInfo& entry : entries) {
        const QString lockPath = QDir(entry.absoluteFilePath()).filePath(lockName);
        FileLock lock;
        if (QFileInfo::exists(lockPath)) {
            if (!lock.tryLock(lockPath))
                continue; // its worker is alive
        } else if (entry.lastModified().secsTo(QDateTime::currentDateTime()) <
                   unlockedGraceSeconds) {
            continue;
        }
        if (QDir(entry.absoluteFilePath()).removeRecursively())
            ++removed;
    }
    return removed;
}

} // namespace batch
