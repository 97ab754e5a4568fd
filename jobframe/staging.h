// The private folder in which a job prepares its result, inside the output
// folder so that publishing is a rename on one volume.
#pragma once

#include "engine/platformfs.h"

#include <QString>
#include <QTemporaryDir>

namespace batch {

class StagingFolder
{
public:
    // Creates ".quorvin-batch-XXXXXX" in `outputFolder` and marks it as in use.
    explicit StagingFolder(const QString& outputFolder);
    ~StagingFolder();
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    bool isValid() const;
    QString path() const { return m_folder.path(); }
    // Marks the folder as changed now, at most once a minute.
    void touch() const;

private:
    QTemporaryDir m_folder;
    FileLock m_lock;
    mutable qint64 m_touched = 0;
};

// The name every staging folder starts with.
inline const QString stagingPrefix = QStringLiteral(".quorvin-batch-");

// Removes staging folders left behind by workers that died (killed, crashed,
// power lost). Only a folder that is provably such a leftover is touched:
// owned by this user, holding a lock file nobody holds and only names a job
// creates. Returns the number of folders removed. `prefix` names the kind of
// folder: staging folders, or the private working folders of recognition.
int removeStaleStagingFolders(const QString& outputFolder, const QString& prefix = stagingPrefix);

} // namespace batch
