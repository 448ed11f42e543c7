#include "tests/support/SimMachineFixture.h"

#include <chrono>

namespace quortest {

using quor::platform::sim::SimConfig;
using quor::platform::sim::SimMachine;

FreshSimMachine::FreshSimMachine(SimConfig config)
{
    config.dir = dir_.Str();
    SimMachine::Get().Reset(std::move(config));
}

FreshSimMachine::~FreshSimMachine()
{
    SimConfig empty;
    empty.dir = dir_.Str();
    empty.serialPorts.clear();
    empty.virtioFsPresent = false;
    SimMachine::Get().Reset(std::move(empty));
}

PortStatusWatch::PortStatusWatch()
{
    token_ = SimMachine::Get().Events().Subscribe([this](const quor::platform::sim::SimEvent& e) {
        if (e.kind != quor::platform::sim::SimEvent::Kind::PortStatus) {
            return;
        }
        std::lock_guard<std::mutex> g(m_);
        ++seen_[{e.hostIndex, e.status}];
        cv_.notify_all();
    });
}

PortStatusWatch::~PortStatusWatch() { SimMachine::Get().Events().Unsubscribe(token_); }

bool PortStatusWatch::WaitFor(std::uint32_t hostIndex, std::uint32_t status, int times, int timeoutMs)
{
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return seen_[{hostIndex, status}] >= times; });
}

int PortStatusWatch::Count(std::uint32_t hostIndex, std::uint32_t status)
{
    std::lock_guard<std::mutex> g(m_);
    return seen_[{hostIndex, status}];
}

}  // namespace quortest
