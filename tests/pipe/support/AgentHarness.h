// Test support: the agent, the server end of the program's pipe, on the platform the tests
// run on. posix: a fresh simulated machine and the agent's socket. win32: a real named-pipe
// server (CreateNamedPipeW, byte mode) under Wine or Windows. Messages are UTF-16LE with NUL.
#pragma once

#include <memory>
#include <string>

namespace quortest {

class AgentHarness {
public:
    AgentHarness();
    ~AgentHarness();
    AgentHarness(const AgentHarness&) = delete;
    AgentHarness& operator=(const AgentHarness&) = delete;

    // Starts listening; returns the pipe's full name for the client (a new one each call).
    std::u16string Listen();
    // A pipe name nobody listens on.
    std::u16string UnusedName();
    bool Accept(int timeoutMs = 30000);
    bool SendRaw(const std::string& bytes);
    bool Send(const std::u16string& text);
    // The next message up to its NUL, and its size in bytes with the NUL.
    bool Receive(std::u16string& text, std::size_t& bytes, int timeoutMs = 30000);
    // Waits until the program has closed its end; false when it sent bytes first or the
    // time passed.
    bool WaitClosed(int timeoutMs = 30000);
    void CloseConnection();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

inline std::string Utf16Bytes(const std::u16string& text, bool nul = true)
{
    std::string out;
    for (const char16_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    if (nul) {
        out.append(2, '\0');
    }
    return out;
}

}  // namespace quortest
