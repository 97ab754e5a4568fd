// "quorvin-pdf-batch batch watch FOLDER OPERATION --output DIR …": a watched
// folder without the window, as a service or a scheduled task runs it.
#pragma once

#include "app/commandline.h"

namespace batch {

// Runs until Ctrl-C or SIGTERM. Exit status: 0 when the watch ended as
// asked, 1 when it ended for a fault (its journal could not be written, its
// lock was taken over) or could not start, 2 for a usage error.
int runWatchCommand(const Command& command, const QString& workerProgram);

} // namespace batch
