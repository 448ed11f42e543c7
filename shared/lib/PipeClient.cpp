#include "shared/lib/PipeClient.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "shared/lib/platform/NamedPipe.h"
#include "shared/log/Log.h"
#include "shared/log/LogException.h"
#include "shared/log/WideToUtf8.h"

namespace quor {

namespace {
constexpr char16_t kCloseCommand[] = u"\\CLOSE";
constexpr char16_t kClosedAnswer[] = u"\\CLOSED";
constexpr std::uint32_t kStopRoundMs = 100;

// FlushFileBuffers on a pipe returns once the agent has read everything written to it; an
// agent that reads no more would hold the program's end there. The flush runs on a thread
// of its own and is waited for a bounded time. Past the bound the handle belongs to that
// thread, which closes it when the flush ends at last.
struct FlushWait {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;  // the waiter gave up: the flush thread closes the pipe
};

bool FlushWithin(platform::PipeHandle h, std::uint32_t timeoutMs)
{
    auto wait = std::make_shared<FlushWait>();
    try {
        std::thread([h, wait] {
            (void)platform::FlushPipe(h);
            bool abandoned = false;
            {
                std::lock_guard<std::mutex> g(wait->m);
                wait->done = true;
                abandoned = wait->abandoned;
                wait->cv.notify_all();
            }
            if (abandoned) {
                (void)platform::DisconnectPipe(h);
                (void)platform::ClosePipe(h);
            }
        }).detach();
    } catch (const std::system_error& e) {
        QLOG(kLogError, "Cannot create thread with error: {}.", e.code().value());
        return true;  // not flushed, but nothing uses the pipe: it may be closed
    }
    std::unique_lock<std::mutex> g(wait->m);
    if (wait->cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return wait->done; })) {
        return true;
    }
    wait->abandoned = true;
    return false;
}

}  // namespace

struct PipeClient::State {
    std::u16string name;
    std::atomic<platform::PipeHandle> pipe{platform::kInvalidPipe};
    std::unique_ptr<unsigned char[]> buffer;
    std::uint32_t lastRead = 0;  // bytes of the last successful read
    std::atomic<bool> stopping{false};
    std::thread thread;

    mutable std::mutex m;
    mutable std::condition_variable cv;
    bool started = false;
    bool ended = false;
    std::function<void()> onEnded;

    bool Connect();
    bool Read();
    bool Write();
    void SetData(const std::u16string& text);
    // The commands of the last read, each up to its NUL.
    std::vector<std::u16string> Commands() const;
    static void Run(const std::shared_ptr<State>& s);
};

namespace {

bool IsCloseCommand(const std::u16string& command)
{
    const std::size_t n = std::char_traits<char16_t>::length(kCloseCommand);
    if (command.empty() || command.size() > n) {
        return false;
    }
    for (std::size_t i = 0; i < command.size(); ++i) {
        char16_t c = command[i];
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
        if (c != kCloseCommand[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool PipeClient::State::Connect()
{
    const platform::PipeHandle h = platform::OpenPipe(name);
    if (h == platform::kInvalidPipe) {
        QLOG(kLogError, "Could not connect to pipe server.");
        return false;
    }
    pipe.store(h);
    return true;
}

bool PipeClient::State::Read()
{
    std::uint32_t n = 0;
    const bool ok = platform::ReadPipe(pipe.load(), buffer.get(), kBufferBytes, n);
    if (ok && n > 0) {
        lastRead = n;
        return true;
    }
    if (!ok) {
        QLOG(kLogError, "ReadFile failed with error: {}", platform::LastError());
    }
    QLOG(kLogError, "ReadFile failed");
    return false;
}

bool PipeClient::State::Write()
{
    // SetData leaves a NUL within the buffer; the bound keeps a foreign buffer from running on.
    std::uint32_t length = 0;
    while (length < kBufferBytes / 2 - 1 && (buffer[2 * length] != 0 || buffer[2 * length + 1] != 0)) {
        ++length;
    }
    const std::uint32_t bytes = (length + 1) * 2;
    std::uint32_t written = 0;
    if (!platform::WritePipe(pipe.load(), buffer.get(), bytes, written) || written != bytes) {
        QLOG(kLogError, "WriteFile failed");
        return false;
    }
    return true;
}

void PipeClient::State::SetData(const std::u16string& text)
{
    if (!buffer) {
        QLOG(kLogError, "{} Not execute memset.", "PipeClient::SetData");
        return;
    }
    std::memset(buffer.get(), 0, kBufferBytes);
    const std::size_t units = std::min<std::size_t>(text.size(), kBufferBytes / 2 - 1);
    std::memcpy(buffer.get(), text.data(), units * 2);
}

std::vector<std::u16string> PipeClient::State::Commands() const
{
    const std::size_t units = lastRead / 2;  // an odd last byte is half a unit
    std::u16string text(units, u'\0');
    std::memcpy(text.data(), buffer.get(), units * 2);
    std::vector<std::u16string> commands;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t nul = std::min(text.find(u'\0', start), text.size());
        commands.push_back(text.substr(start, nul - start));
        start = nul + 1;
    }
    return commands;
}

void PipeClient::State::Run(const std::shared_ptr<State>& s)
{
    if (!s->Connect()) {
        QLOG(kLogError, "Failed to Connect server.");
    } else {
        bool close = false;
        while (!close && !s->stopping.load() && s->Read()) {
            for (const std::u16string& command : s->Commands()) {
                if (command.empty()) {
                    continue;
                }
                if (IsCloseCommand(command)) {
                    s->SetData(kClosedAnswer);
                    (void)s->Write();
                    close = true;
                    break;
                }
                if (Logger::Instance().IsInitialised()) {
                    try {
                        std::string utf8;
                        WideToUtf8(command, utf8);
                        QLOG(kLogError, "Invalid command = {}.", utf8);
                    } catch (const LogException&) {
                        // A command that does not convert is not logged; reading goes on.
                    }
                }
            }
        }
    }
    // The owner's callback runs before the end becomes visible: whoever saw the end may
    // destroy the client.
    std::function<void()> onEnded;
    {
        std::lock_guard<std::mutex> g(s->m);
        onEnded = std::move(s->onEnded);
    }
    if (onEnded) {
        onEnded();
    }
    {
        std::lock_guard<std::mutex> g(s->m);
        s->ended = true;
    }
    s->cv.notify_all();
}

PipeClient::PipeClient(std::u16string pipeName, std::function<void()> onEnded) : state_(std::make_shared<State>())
{
    state_->name = std::move(pipeName);
    state_->buffer = std::make_unique<unsigned char[]>(kBufferBytes);
    state_->onEnded = std::move(onEnded);
}

PipeClient::~PipeClient()
{
    State& s = *state_;
    if (s.thread.joinable()) {
        s.stopping.store(true);
        bool ended = false;
        for (std::uint32_t waited = 0; !ended && waited < kStopMs; waited += kStopRoundMs) {
            const platform::PipeHandle h = s.pipe.load();
            if (h != platform::kInvalidPipe) {
                (void)platform::CancelPipeIo(h);
            }
            ended = WaitEnded(kStopRoundMs);
        }
        if (!ended) {
            {
                std::lock_guard<std::mutex> g(s.m);
                s.onEnded = nullptr;
            }
            QLOG(kLogError, "PipeClient thread did not end; its pipe and buffer are kept.");
            s.thread.detach();
            return;
        }
        s.thread.join();
    }
    const platform::PipeHandle h = s.pipe.exchange(platform::kInvalidPipe);
    if (h != platform::kInvalidPipe) {
        (void)platform::CancelPipeIo(h);
        if (!FlushWithin(h, kFlushMs)) {
            // The flush still uses the handle: it stays open until the flush ends, or the
            // process does.
            QLOG(kLogWarning, "PipeClient flush did not end within {} ms; the pipe is left open.", kFlushMs);
            return;
        }
        (void)platform::DisconnectPipe(h);
        (void)platform::ClosePipe(h);
    }
}

bool PipeClient::Init()
{
    if (state_->name.empty()) {
        return false;
    }
    {
        std::lock_guard<std::mutex> g(state_->m);
        if (state_->started) {
            QLOG(kLogError, "PipeClient already initialised!");
            return false;
        }
        state_->started = true;
    }
    try {
        state_->thread = std::thread([s = state_] { State::Run(s); });
    } catch (const std::system_error& e) {
        QLOG(kLogError, "Cannot create thread with error: {}.", e.code().value());
        std::lock_guard<std::mutex> g(state_->m);
        state_->started = false;
        return false;
    }
    return true;
}

bool PipeClient::Connect() { return state_->Connect(); }
bool PipeClient::Read() { return state_->Read(); }
bool PipeClient::Write() { return state_->Write(); }
void PipeClient::SetData(const std::u16string& text) { state_->SetData(text); }

bool PipeClient::Ended() const
{
    std::lock_guard<std::mutex> g(state_->m);
    return !state_->started || state_->ended;
}

bool PipeClient::WaitEnded(std::uint32_t timeoutMs) const
{
    std::unique_lock<std::mutex> g(state_->m);
    return state_->cv.wait_for(g, std::chrono::milliseconds(timeoutMs),
                               [this] { return !state_->started || state_->ended; });
}

}  // namespace quor
