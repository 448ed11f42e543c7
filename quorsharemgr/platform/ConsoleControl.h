// Platform seam: the console's control events — Ctrl+C, Ctrl+Break, the console window
// closing, logoff and shutdown. The handler runs on a thread of its own, started for the
// event; on Windows the process is ended as soon as the handler of a close, logoff or
// shutdown event returns.
// win32: SetConsoleCtrlHandler (add). posix: the signals that stand for these events on the
// simulated machine — SIGINT for Ctrl+C, SIGHUP for the console closing, SIGTERM for
// shutdown — taken by a thread of the seam (docs/simulation.md).
#pragma once

#include <cstdint>

namespace quor::platform {

inline constexpr std::uint32_t kCtrlCEvent = 0;
inline constexpr std::uint32_t kCtrlBreakEvent = 1;
inline constexpr std::uint32_t kCtrlCloseEvent = 2;
inline constexpr std::uint32_t kCtrlLogoffEvent = 5;
inline constexpr std::uint32_t kCtrlShutdownEvent = 6;

// True when the event was handled.
using ConsoleControlFn = bool (*)(std::uint32_t event);

// Adds `handler` for the process's console; false on failure (last error set). posix: to be
// called before the process starts threads, which then leave these signals to the seam.
bool SetConsoleCtrlHandler(ConsoleControlFn handler);

}  // namespace quor::platform
