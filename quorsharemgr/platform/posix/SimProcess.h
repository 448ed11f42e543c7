// The simulated process's shutdown parameters (posix only): what the program last passed to
// SetProcessShutdownParameters, as level << 32 | flags (0 before any call).
#pragma once

#include <cstdint>

namespace quor::platform::sim {

std::uint64_t ShutdownParameters();

}  // namespace quor::platform::sim
