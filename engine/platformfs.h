// The few file-system calls whose portable Qt forms would replace entries.
#pragma once

#include <QString>

namespace batch {

// True when anything is at `path`: a file, a folder, or a symbolic link, even
// one that points nowhere.
bool entryTaken(const QString& path);

// Moves a file or folder to `to` only if nothing is there; never replaces.
bool renameNoReplace(const QString& from, const QString& to);

} // namespace batch
