// The simulated Windows machine of the posix platform: one object that every posix seam
// consults, so that the simulation is built in one place.
//
//   - its folder and layout (docs/simulation.md; the public part is platform/SimLayout.h),
//   - its configuration: the virtio-serial ports present, the virtio-fs device, the event
//     log's mode; read from the environment once (QUOR_SIM_DIR, QUOR_SIM_PORTS,
//     QUOR_SIM_EVENTLOG) or set by a test with Reset,
//   - named fault points that tests switch on: a seam asks Hit("<concern>.<Call>") before it
//     does the call's work; an armed point makes the call fail with a chosen Win32 error
//     (or errno for the runtime's calls), or holds the caller until the test releases it,
//   - one thread-local last error, set by every seam as the Windows call would,
//   - an event bus: device interface arrival and removal, the host connecting to or leaving a
//     virtio-serial port (the port-status custom event with the port's handle and status),
//     and, for the desktop, clipboard updates. Subscribers are called on the thread that
//     raised the event, outside the bus's lock; they must not block.
//
// Thread safety: every member may be called from any thread. Reset is for tests, between
// runs of the code under test (nothing may be using the machine while it is reset).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quor::platform::sim {

enum class EventLogMode { Stderr, Syslog, Fail };

struct SimConfig {
    std::string dir;                              // the machine's folder
    std::vector<std::uint32_t> serialPorts{3, 4};  // host indexes, in enumeration order
    bool virtioFsPresent = true;                  // the interface; opening also needs the back end's socket
    EventLogMode eventLog = EventLogMode::Stderr;

    // QUOR_SIM_DIR (default /tmp/quor-sim), QUOR_SIM_PORTS (default "3,4"),
    // QUOR_SIM_EVENTLOG (stderr, syslog or fail).
    static SimConfig FromEnvironment();
};

enum class DeviceClass { SerialPort, VirtioFs };

struct SimEvent {
    enum class Kind { DeviceArrival, DeviceRemoval, PortStatus, ClipboardUpdate };
    Kind kind = Kind::DeviceArrival;
    DeviceClass device = DeviceClass::SerialPort;  // arrival, removal, port status
    std::u16string devicePath;                     // arrival, removal: the interface's path
    std::intptr_t handle = 0;                      // port status: the open port's handle
    std::uint32_t status = 0;                      // port status: non-zero while a host is connected
    std::uint32_t hostIndex = 0;                   // serial port: its host index
    // ClipboardUpdate: one event per format listener, `handle` the listening window and
    // `status` the clipboard's sequence number after the change.
};

class SimEventBus {
public:
    using Handler = std::function<void(const SimEvent&)>;
    int Subscribe(Handler handler);
    // After it returns, the handler is not running and will not be called again.
    void Unsubscribe(int token);
    void Publish(const SimEvent& event);
    void Clear();

private:
    std::mutex m_;
    std::condition_variable idle_;
    std::map<int, Handler> handlers_;
    int next_ = 1;
    int publishing_ = 0;
};

// How an armed fault point behaves. `skip` calls pass first, then `count` calls (every
// later call when count < 0) fail with `error`; with `hold`, each of those calls first
// waits until the test releases the point, and then fails with `error` or, when error is
// 0, goes on normally.
struct FaultRule {
    std::uint32_t error = 0;
    int skip = 0;
    int count = 1;
    bool hold = false;
};

class SimFaults {
public:
    void Arm(const std::string& point, FaultRule rule);
    void Disarm(const std::string& point);
    void Clear();  // disarms everything and releases every held caller
    // Lets every caller held at `point` go on, and the later ones pass without waiting.
    void Release(const std::string& point);
    // Waits until `n` callers in all have been held at `point` (tests use it to know that
    // the code under test is blocked there). False when `timeoutMs` passes first.
    bool WaitHeld(const std::string& point, int n = 1, int timeoutMs = 60000);
    // How often a seam reached `point` since it was armed (or since Clear).
    int Hits(const std::string& point);

    // Seam side: nullopt to go on, or the error the call must fail with.
    std::optional<std::uint32_t> Hit(const char* point);

private:
    struct State {
        FaultRule rule;
        int hits = 0;
        int held = 0;
        bool released = false;
        std::uint64_t generation = 0;
    };
    std::mutex m_;
    std::condition_variable changed_;
    std::map<std::string, State> points_;
    std::uint64_t generation_ = 0;
};

class SimMachine {
public:
    static SimMachine& Get();

    // A fresh machine: new configuration, no faults, no subscribers. An empty `dir` keeps
    // the environment's folder.
    void Reset(SimConfig config);

    std::string Dir() const;
    std::vector<std::uint32_t> SerialPorts() const;
    bool VirtioFsPresent() const;
    EventLogMode EventLog() const;

    // Devices plugged in or pulled out while the program runs: the configuration changes
    // and the arrival or removal is raised on the event bus.
    void PlugSerialPort(std::uint32_t hostIndex);
    void UnplugSerialPort(std::uint32_t hostIndex);
    void PlugVirtioFs();
    void UnplugVirtioFs();

    // How many times the machine was reset: state kept outside this object (the simulated
    // clipboard) starts afresh when it sees the count move.
    std::uint64_t ResetCount() const;

    SimFaults& Faults() { return faults_; }
    SimEventBus& Events() { return events_; }

private:
    SimMachine();
    mutable std::mutex m_;
    SimConfig config_;
    std::uint64_t resets_ = 0;
    SimFaults faults_;
    SimEventBus events_;
};

// The seams' shorthand for SimMachine::Get().Faults().Hit(point).
std::optional<std::uint32_t> Fault(const char* point);
// For a Windows call failing at an armed point: sets the thread's last error to the armed
// error and returns true; false when the call goes on.
bool FailsAt(const char* point);

// The thread's last Win32 error (what platform::LastError() returns).
void SetLastError(std::uint32_t error);
std::uint32_t GetLastError();

// Interface paths of the simulated devices.
std::u16string SerialPortInterfacePath(std::uint32_t hostIndex);  // \\?\sim#vioserial#port<N>
std::u16string VirtioFsInterfacePath();                            // the back end's socket path

// A UTF-16 Windows path as UTF-8, and as a host path under the machine's folder.
std::string Utf8Of(const char16_t* windowsPath);
std::string HostPathOf(const char16_t* windowsPath);

// POSIX errno values as the Windows runtime's errno and as Win32 error codes.
int ToCrtErrno(int posixErrno);
std::uint32_t ToWinError(int posixErrno);

}  // namespace quor::platform::sim
