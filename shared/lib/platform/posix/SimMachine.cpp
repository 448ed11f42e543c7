#include "shared/lib/platform/posix/SimMachine.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/SimLayout.h"

namespace quor::platform {

namespace {
thread_local std::uint32_t t_lastError = 0;
}  // namespace

std::uint32_t LastError() { return t_lastError; }

namespace sim {

void SetLastError(std::uint32_t error) { t_lastError = error; }
std::uint32_t GetLastError() { return t_lastError; }

// ---- configuration ------------------------------------------------------------------------

namespace {

std::vector<std::uint32_t> ParsePorts(const std::string& list)
{
    std::vector<std::uint32_t> ports;
    std::stringstream ss(list);
    std::string item;
    while (std::getline(ss, item, ',')) {
        if (!item.empty() && item.size() < 10 &&
            std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            ports.push_back(static_cast<std::uint32_t>(std::stoul(item)));
        }
    }
    return ports;
}

std::string EnvOr(const char* name, const char* fallback)
{
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? std::string(v) : std::string(fallback);
}

}  // namespace

SimConfig SimConfig::FromEnvironment()
{
    SimConfig c;
    c.dir = EnvOr("QUOR_SIM_DIR", "/tmp/quor-sim");
    c.serialPorts = ParsePorts(EnvOr("QUOR_SIM_PORTS", "3,4"));
    const std::string mode = EnvOr("QUOR_SIM_EVENTLOG", "stderr");
    c.eventLog = mode == "fail" ? EventLogMode::Fail : mode == "syslog" ? EventLogMode::Syslog : EventLogMode::Stderr;
    return c;
}

// ---- event bus ----------------------------------------------------------------------------

int SimEventBus::Subscribe(Handler handler)
{
    std::lock_guard<std::mutex> g(m_);
    const int token = next_++;
    handlers_.emplace(token, std::move(handler));
    return token;
}

void SimEventBus::Unsubscribe(int token)
{
    std::unique_lock<std::mutex> g(m_);
    handlers_.erase(token);
    // A publication under way may still be calling the handler: wait it out.
    idle_.wait(g, [this] { return publishing_ == 0; });
}

void SimEventBus::Publish(const SimEvent& event)
{
    std::vector<Handler> handlers;
    {
        std::lock_guard<std::mutex> g(m_);
        for (const auto& [token, h] : handlers_) {
            handlers.push_back(h);
        }
        ++publishing_;
    }
    for (const Handler& h : handlers) {
        h(event);
    }
    std::lock_guard<std::mutex> g(m_);
    if (--publishing_ == 0) {
        idle_.notify_all();
    }
}

void SimEventBus::Clear()
{
    std::unique_lock<std::mutex> g(m_);
    handlers_.clear();
    idle_.wait(g, [this] { return publishing_ == 0; });
}

// ---- fault points -------------------------------------------------------------------------

void SimFaults::Arm(const std::string& point, FaultRule rule)
{
    std::lock_guard<std::mutex> g(m_);
    State s;
    s.rule = rule;
    s.generation = ++generation_;
    points_[point] = s;
    changed_.notify_all();
}

void SimFaults::Disarm(const std::string& point)
{
    std::lock_guard<std::mutex> g(m_);
    points_.erase(point);
    changed_.notify_all();
}

void SimFaults::Clear()
{
    std::lock_guard<std::mutex> g(m_);
    points_.clear();
    ++generation_;
    changed_.notify_all();
}

void SimFaults::Release(const std::string& point)
{
    std::lock_guard<std::mutex> g(m_);
    auto it = points_.find(point);
    if (it != points_.end()) {
        it->second.released = true;
    }
    changed_.notify_all();
}

bool SimFaults::WaitHeld(const std::string& point, int n, int timeoutMs)
{
    std::unique_lock<std::mutex> g(m_);
    return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        auto it = points_.find(point);
        return it != points_.end() && it->second.held >= n;
    });
}

int SimFaults::Hits(const std::string& point)
{
    std::lock_guard<std::mutex> g(m_);
    auto it = points_.find(point);
    return it == points_.end() ? 0 : it->second.hits;
}

std::optional<std::uint32_t> SimFaults::Hit(const char* point)
{
    std::unique_lock<std::mutex> g(m_);
    if (points_.empty()) {
        return std::nullopt;
    }
    auto it = points_.find(point);
    if (it == points_.end()) {
        return std::nullopt;
    }
    State& s = it->second;
    const int n = s.hits++;
    if (n < s.rule.skip || (s.rule.count >= 0 && n >= s.rule.skip + s.rule.count)) {
        return std::nullopt;
    }
    const FaultRule rule = s.rule;
    if (rule.hold && !s.released) {
        const std::uint64_t generation = s.generation;
        ++s.held;
        changed_.notify_all();
        changed_.wait(g, [&] {
            auto at = points_.find(point);
            return at == points_.end() || at->second.generation != generation || at->second.released;
        });
    }
    if (rule.error == 0) {
        return std::nullopt;
    }
    return rule.error;
}

std::optional<std::uint32_t> Fault(const char* point) { return SimMachine::Get().Faults().Hit(point); }

bool FailsAt(const char* point)
{
    if (const auto error = Fault(point)) {
        SetLastError(*error);
        return true;
    }
    return false;
}

// ---- the machine --------------------------------------------------------------------------

SimMachine::SimMachine() : config_(SimConfig::FromEnvironment()) {}

SimMachine& SimMachine::Get()
{
    static SimMachine machine;
    return machine;
}

void SimMachine::Reset(SimConfig config)
{
    if (config.dir.empty()) {
        config.dir = SimConfig::FromEnvironment().dir;
    }
    {
        std::lock_guard<std::mutex> g(m_);
        config_ = std::move(config);
        ++resets_;
    }
    faults_.Clear();
    events_.Clear();
}

std::uint64_t SimMachine::ResetCount() const
{
    std::lock_guard<std::mutex> g(m_);
    return resets_;
}

std::string SimMachine::Dir() const
{
    std::lock_guard<std::mutex> g(m_);
    return config_.dir;
}

std::vector<std::uint32_t> SimMachine::SerialPorts() const
{
    std::lock_guard<std::mutex> g(m_);
    return config_.serialPorts;
}

bool SimMachine::VirtioFsPresent() const
{
    std::lock_guard<std::mutex> g(m_);
    return config_.virtioFsPresent;
}

EventLogMode SimMachine::EventLog() const
{
    std::lock_guard<std::mutex> g(m_);
    return config_.eventLog;
}

void SimMachine::PlugSerialPort(std::uint32_t hostIndex)
{
    {
        std::lock_guard<std::mutex> g(m_);
        auto& ports = config_.serialPorts;
        if (std::find(ports.begin(), ports.end(), hostIndex) != ports.end()) {
            return;
        }
        ports.push_back(hostIndex);
    }
    SimEvent e;
    e.kind = SimEvent::Kind::DeviceArrival;
    e.device = DeviceClass::SerialPort;
    e.devicePath = SerialPortInterfacePath(hostIndex);
    e.hostIndex = hostIndex;
    events_.Publish(e);
}

void SimMachine::UnplugSerialPort(std::uint32_t hostIndex)
{
    {
        std::lock_guard<std::mutex> g(m_);
        auto& ports = config_.serialPorts;
        auto it = std::find(ports.begin(), ports.end(), hostIndex);
        if (it == ports.end()) {
            return;
        }
        ports.erase(it);
    }
    SimEvent e;
    e.kind = SimEvent::Kind::DeviceRemoval;
    e.device = DeviceClass::SerialPort;
    e.devicePath = SerialPortInterfacePath(hostIndex);
    e.hostIndex = hostIndex;
    events_.Publish(e);
}

void SimMachine::PlugVirtioFs()
{
    {
        std::lock_guard<std::mutex> g(m_);
        if (config_.virtioFsPresent) {
            return;
        }
        config_.virtioFsPresent = true;
    }
    SimEvent e;
    e.kind = SimEvent::Kind::DeviceArrival;
    e.device = DeviceClass::VirtioFs;
    e.devicePath = VirtioFsInterfacePath();
    events_.Publish(e);
}

void SimMachine::UnplugVirtioFs()
{
    {
        std::lock_guard<std::mutex> g(m_);
        if (!config_.virtioFsPresent) {
            return;
        }
        config_.virtioFsPresent = false;
    }
    SimEvent e;
    e.kind = SimEvent::Kind::DeviceRemoval;
    e.device = DeviceClass::VirtioFs;
    e.devicePath = VirtioFsInterfacePath();
    events_.Publish(e);
}

// ---- names --------------------------------------------------------------------------------

namespace {
std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }
}  // namespace

std::u16string SerialPortInterfacePath(std::uint32_t hostIndex)
{
    return Widen("\\\\?\\sim#vioserial#port" + std::to_string(hostIndex));
}

std::u16string VirtioFsInterfacePath() { return Widen(VirtioFsSocket()); }

}  // namespace sim
}  // namespace quor::platform
