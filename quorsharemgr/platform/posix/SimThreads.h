// The simulated machine's threads and events (posix only). Every handle is a waitable
// object; one process-wide mutex and condition variable serve every wait, so a wait on
// several handles needs no more. A thread's handle and the running thread share the
// object; the thread is detached once its handle is closed or it is terminated.
// Termination cannot stop a running std::thread: the simulation abandons it (its handle
// is signalled with the given code, its later result is dropped) and counts it, so tests
// can assert that no termination was needed.
#pragma once

#include <cstdint>

namespace quor::platform::sim {

// Threads terminated since the process started.
std::uint64_t TerminatedThreads();
// Simulated threads started and not yet ended.
std::uint64_t RunningThreads();

}  // namespace quor::platform::sim
