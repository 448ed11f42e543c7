// The program's entry point: opens the log, starts the agent's pipe client when the command
// line names one, builds the share manager (window, then configuration), waits until the
// clipboard window's thread or the pipe client's thread ends, and tears down in a fixed
// order: Deinit, the share manager, the pipe client. Every path returns 0. A console control
// event (Ctrl+C, Ctrl+Break, the console closing, logoff, shutdown) ends the wait as well,
// so those end the program through the same shutdown with 0.
//
// The pipe client's thread is waited on through an event it sets as its last act; the
// event's handle is closed only once nothing can set it any more (the callback holding it
// goes with the client's thread). Destroying the client cancels its I/O and joins its thread
// before the pipe and the buffer are released.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quor {

inline constexpr char kDefaultLogPath[] = "C:\\ProgramData\\QUOR\\log\\quor.log";
inline constexpr std::uint32_t kShutdownLevelLast = 0x100;

// "\\.\pipe\quorsharepipe" + the argument when the command line is exactly one argument
// starting with a decimal digit; empty (no pipe client) otherwise.
std::u16string AgentPipeName(const std::vector<std::u16string>& args);

// The whole run of the program; returns the exit code, which is always 0.
int RunShareManager(const std::vector<std::u16string>& args);

}  // namespace quor
