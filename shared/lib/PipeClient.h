// PipeClient: the program's end of the agent's named pipe. When the program is started by
// the agent (the pipe's server), a thread of its own connects to the pipe, reads the
// agent's UTF-16LE commands (each with its NUL) and, on "\CLOSE" (any ASCII letter case,
// or any prefix of it), answers "\CLOSED" and ends. The end of that thread is what the
// entry point waits for; it then shuts the program down and destroys the client.
//
// States: Created (construction) -> Connecting (Init started the thread) -> Listening (pipe
// open) -> Ended (close answered, a read failed, or the pipe could not be opened).
//
// Threads and ownership: the client's thread is the only user of the pipe and the buffer
// while it runs. Both live in a state object that the thread shares, so they stay valid for
// as long as the thread could touch them. Destruction stops the thread first: it sets the
// stop flag and cancels the pipe's I/O (CancelIoEx) until the thread has ended (a read the
// thread starts just after a cancellation is caught by the next one), and only then
// flushes, disconnects and closes the pipe and lets the buffer go. A thread that does not
// end within kStopMs is left running with the pipe and the buffer it still holds; nothing
// is released under it. The flush before closing is bounded by kFlushMs too (it waits
// for the agent to read the answer); past that the pipe is left open.
//
// A read returns what the agent has written so far (byte mode): the commands are taken from
// the bytes read only (never from what an earlier, longer read left in the buffer), one per
// NUL-terminated run, so two commands in one read are both handled; bytes without a NUL at
// the end of a read form one more command.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quor {

class PipeClient {
public:
    static constexpr std::uint32_t kBufferBytes = 2048;
    static constexpr std::uint32_t kStopMs = 2000;
    static constexpr std::uint32_t kFlushMs = 1000;
    static constexpr char16_t kPipeBaseName[] = u"\\\\.\\pipe\\quorsharepipe";

    // `onEnded` runs on the client's thread as its last act (it must not destroy the client).
    explicit PipeClient(std::u16string pipeName, std::function<void()> onEnded = {});
    ~PipeClient();
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;

    // Starts the client's thread; false for an empty pipe name or when the thread cannot
    // be created (logged), or when it was started before.
    bool Init();
    bool Connect();
    bool Read();
    bool Write();
    void SetData(const std::u16string& text);

    // The client's thread, as the entry point waits on it: whether it has ended, and a wait
    // for that (false when `timeoutMs` passed first; a client without a thread has ended).
    bool Ended() const;
    bool WaitEnded(std::uint32_t timeoutMs) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace quor
