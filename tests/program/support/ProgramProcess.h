// Test support: the real program (QUORSHAREMGR_EXE: compiled in on posix, from the environment or
// beside the tests' folder on win32) run as a child
// process of the test. posix: on the simulated machine whose folder the test's agent harness
// made (SimLayout's folder), with no virtio-serial port present; win32: CreateProcessW under
// Wine or Windows, where no device is present either.
#pragma once

#include <string>
#include <vector>

namespace quortest {

class ProgramProcess {
public:
    explicit ProgramProcess(const std::vector<std::string>& args);
    ~ProgramProcess();  // ends a program still running
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    bool Started() const;
    // The console control events, as the platform raises them for a process: posix, the
    // simulated machine's signals; win32, GenerateConsoleCtrlEvent, which can raise only a
    // Ctrl+C (sent as Ctrl+Break to the program's process group). False when the platform
    // cannot raise that event, or raising it failed.
    enum class ConsoleEvent { CtrlC, Close, Shutdown };
    bool SendConsoleEvent(ConsoleEvent event);
    // The exit code once the program has ended within `timeoutMs`; -1 when it still runs.
    int WaitExit(int timeoutMs);

    struct Impl;

private:
    Impl* impl_;
};

// What the program wrote to its log at its default path, as the platform maps it.
std::string ProgramLog();
// Removes the log left by an earlier run.
void RemoveProgramLog();

}  // namespace quortest
