// Kernel shim: fault records.
#include "procwarden/shim/shim_internal.h"

#include <cstdio>
#include <cstdlib>

namespace shim::internal {
namespace {
std::mutex g_faultMutex;
std::vector<std::string> g_faults;
}  // namespace

void Fault(const std::string& what) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_faults.push_back(what);
}

void FatalFault(const char* what) {
    std::fprintf(stderr, "kernel shim: fatal fault: %s\n", what);
    std::abort();
}

void ResetFaults() {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_faults.clear();
}

}  // namespace shim::internal

std::vector<std::string> shim::Faults() {
    std::lock_guard<std::mutex> lock(internal::g_faultMutex);
    return internal::g_faults;
}
