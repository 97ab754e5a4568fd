// A worker lives only as long as the process that started it: a window or a
// command line that is killed, hung up on or timed out must not leave workers
// that go on to publish results nobody records.
#pragma once

namespace batch {

// Asks the system to kill this process when its parent ends, and ends it now
// if the parent named by QPB_PARENT_PID has already gone. Call first thing.
void watchParent();

// True when QPB_PARENT_PID names a parent that is no longer this process's
// parent; false when no parent was named.
bool parentGone();

} // namespace batch
