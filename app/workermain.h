#pragma once

namespace batch {

// Reads one request line from standard input, runs it and writes one result
// line to standard output. Returns 0 (ok), 1 (failure result) or 2 (streams unusable).
int workerMain();

} // namespace batch
