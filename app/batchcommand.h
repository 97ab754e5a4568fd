// "quorvin-pdf-batch batch OPERATION [OPTIONS] --output DIR FILE-OR-FOLDER…":
// the window's batch without the window, for scripts and for spreading an
// archive over machines (GNU parallel). Same scheduler, limits and messages.
#pragma once

#include <QStringList>

namespace batch {

// `arguments` are those after "batch". Exit status: 0 when every file
// succeeded, 1 when any did not, 2 for a usage error. Needs a
// QCoreApplication; `workerProgram` is the executable the workers run.
int runBatchCommand(const QStringList& arguments, const QString& workerProgram);

} // namespace batch
