#include "tests/pipe/support/AgentHarness.h"

#include <atomic>

#include "tests/support/SimMachineFixture.h"
#include "tools/AgentPipe.h"

namespace quortest {

struct AgentHarness::Impl {
    FreshSimMachine sim;
    quorguest::AgentPipe agent;
    int next = 0;
};

AgentHarness::AgentHarness() : impl_(std::make_unique<Impl>()) {}
AgentHarness::~AgentHarness() = default;

std::u16string AgentHarness::Listen()
{
    const std::string argument = std::to_string(++impl_->next);
    if (!impl_->agent.Listen(quorguest::AgentPipe::NameFor(argument))) {
        return {};
    }
    return u"\\\\.\\pipe\\quorsharepipe" + std::u16string(argument.begin(), argument.end());
}

std::u16string AgentHarness::UnusedName() { return u"\\\\.\\pipe\\quorsharepipe999"; }

bool AgentHarness::Accept(int timeoutMs) { return impl_->agent.Accept(timeoutMs); }
bool AgentHarness::SendRaw(const std::string& bytes) { return impl_->agent.SendRaw(bytes.data(), bytes.size()); }
bool AgentHarness::Send(const std::u16string& text) { return impl_->agent.Send(text); }

bool AgentHarness::Receive(std::u16string& text, std::size_t& bytes, int timeoutMs)
{
    const bool ok = impl_->agent.Receive(text, timeoutMs);
    bytes = impl_->agent.LastBytes();
    return ok;
}

bool AgentHarness::WaitClosed(int timeoutMs) { return impl_->agent.WaitClosed(timeoutMs); }
void AgentHarness::CloseConnection() { impl_->agent.CloseConnection(); }

}  // namespace quortest
