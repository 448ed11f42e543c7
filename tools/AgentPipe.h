// The agent's end of the program's pipe on the simulated machine: the pipe's server,
// listening on $QUOR_SIM_DIR/pipe/<name> (docs/simulation.md, "The agent's pipe"). Messages
// are UTF-16LE strings with their NUL.
#pragma once

#include <cstdint>
#include <string>

namespace quorguest {

class AgentPipe {
public:
    AgentPipe() = default;
    ~AgentPipe();
    AgentPipe(const AgentPipe&) = delete;
    AgentPipe& operator=(const AgentPipe&) = delete;

    // The name the program opens as \\.\pipe\quorsharepipe<argument>.
    static std::string NameFor(const std::string& argument) { return "quorsharepipe" + argument; }

    bool Listen(const std::string& name);
    // Waits for the program to connect.
    bool Accept(int timeoutMs);
    bool SendRaw(const void* data, std::size_t length);
    // The text with its NUL.
    bool Send(const std::u16string& text);
    // The next message, up to its NUL; false on the end of the stream (the program closed
    // its end) or time-out.
    bool Receive(std::u16string& text, int timeoutMs);
    // Bytes of the last Receive, NUL included.
    std::size_t LastBytes() const { return lastBytes_; }
    // Whether the program has closed its end (after every byte it sent was received).
    bool WaitClosed(int timeoutMs);
    void CloseConnection();
    void Close();

private:
    int listenFd_ = -1;
    int fd_ = -1;
    std::string path_;
    std::string pending_;  // bytes received past the last message
    std::size_t lastBytes_ = 0;
};

}  // namespace quorguest
