#pragma once

#include "jobframe/jobframe.h"

namespace batch {

// Reads one request line from standard input, runs it and writes one result
// line to standard output. Returns 0 (ok), 1 (failure result) or 2 (streams
// unusable). Needs an application object; `module` may be null when the
// request is known not to need it.
int workerMain(const ModuleServices* module);

// Organisation, application name and version, for settings and --version.
void setApplicationIdentity();

} // namespace batch
