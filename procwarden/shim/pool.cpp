// Kernel shim: pool allocations, with tags, leak counts and injected failures.
#include "procwarden/shim/shim_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

namespace shim::internal {
namespace {

struct PoolBlock {
    ULONG tag;
    SIZE_T size;
};
struct FailRule {
    ULONG tag;
    int countdown;
};
std::mutex g_poolMutex;
std::map<void*, PoolBlock> g_pool;
std::vector<FailRule> g_failRules;

}  // namespace

void ResetPool() {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    for (auto& [p, block] : g_pool) std::free(p);
    g_pool.clear();
    g_failRules.clear();
}

}  // namespace shim::internal

using namespace shim::internal;

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
    if (poolType == PagedPool && CurrentIrql() > APC_LEVEL) {
        Fault("paged pool allocated above APC_LEVEL");
    }
    std::lock_guard<std::mutex> lock(g_poolMutex);
    for (auto it = g_failRules.begin(); it != g_failRules.end(); ++it) {
        if (it->tag == 0 || it->tag == tag) {
            if (--it->countdown == 0) {
                g_failRules.erase(it);
                return nullptr;
            }
        }
    }
    void* p = std::malloc(numberOfBytes == 0 ? 1 : numberOfBytes);
    std::memset(p, 0xAB, numberOfBytes);  // pool memory is not zeroed
    g_pool[p] = PoolBlock{tag, numberOfBytes};
    return p;
}

VOID ExFreePoolWithTag(PVOID p, ULONG tag) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    auto it = g_pool.find(p);
    if (it == g_pool.end()) {
        Fault("freeing memory that is not an outstanding pool block");
        return;
    }
    if (it->second.tag != tag) {
        Fault("pool block freed with the wrong tag");
    }
    g_pool.erase(it);
    std::free(p);
}

namespace shim {

size_t OutstandingAllocations() {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    return g_pool.size();
}

size_t OutstandingAllocations(ULONG tag) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    return static_cast<size_t>(std::count_if(g_pool.begin(), g_pool.end(),
                                             [&](const auto& entry) { return entry.second.tag == tag; }));
}

void FailAllocation(ULONG tag, int nth) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    g_failRules.push_back(FailRule{tag, nth});
}

}  // namespace shim
