// The guest's clipboard sharing on the simulated machine for the clipboard benchmarks: the
// share manager with its window, transport and listen thread, the host's end of the
// clipboard port, another application of the guest desktop that sets the clipboard, and a
// watcher window that hears each finished clipboard write. The baselines move the same
// bytes over a socket pair.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "quorsharemgr/ShareMgr.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "quorsharemgr/platform/GlobalMemory.h"
#include "shared/lib/platform/posix/SimMachine.h"
#include "tools/ClipAgent.h"
#include "tools/HostPort.h"
#include "tools/VirtioFsBackend.h"

#include "bench/BenchIo.h"

namespace quorbench {

namespace qp = quor::platform;

// What every clipboard benchmark does first: all its threads on one processor, at the
// lowest real-time priority (bench/BenchIo.h); each that cannot be had is said on stderr.
inline void TakeOneProcessorAheadOfOthers()
{
    if (!PinToOneProcessor()) {
        std::fprintf(stderr, "cannot keep the benchmark on one processor; the ratio may vary from run to run\n");
    }
    if (!RunAheadOfOrdinaryProcesses()) {
        std::fprintf(stderr, "cannot take a real-time priority; under load the ratio may vary from run to run\n");
    }
}

class ShareBench {
public:
    ShareBench()
        : dir_(std::filesystem::temp_directory_path() / ("quor-bench-share-" + std::to_string(::getpid())))
    {
        std::filesystem::create_directories(dir_);
        qp::sim::SimConfig machine;
        machine.dir = dir_;
        qp::sim::SimMachine::Get().Reset(machine);
        token_ = qp::sim::SimMachine::Get().Events().Subscribe([this](const qp::sim::SimEvent& e) {
            if (e.kind == qp::sim::SimEvent::Kind::ClipboardUpdate && e.handle == reinterpret_cast<std::intptr_t>(Watcher())) {
                std::lock_guard<std::mutex> g(m_);
                ++updates_;
                cv_.notify_all();
            }
        });
    }
    ~ShareBench()
    {
        mgr_.reset();
        host_.Close();
        backend_.Stop();
        qp::sim::SimMachine::Get().Events().Unsubscribe(token_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    ShareBench(const ShareBench&) = delete;
    ShareBench& operator=(const ShareBench&) = delete;

    // The program running and the host's agent connected after the guest's ListenStarted.
    bool Start()
    {
        if (!backend_.Start()) {
            std::fprintf(stderr, "cannot serve the simulated virtio-fs device\n");
            return false;
        }
        mgr_ = std::make_unique<quor::ShareMgr>();
        if (mgr_->InitWindow() != 0 || mgr_->InitConfiguration() != 0 || !host_.Connect(3)) {
            std::fprintf(stderr, "cannot start the share manager\n");
            return false;
        }
        agent_ = std::make_unique<quorhost::ClipAgent>(host_);
        if (!agent_->WaitListenStarted() || !qp::AddClipboardFormatListener(Watcher())) {
            std::fprintf(stderr, "no ListenStarted from the guest\n");
            return false;
        }
        return true;
    }

    // Another application sets one format; true once the window has seen the change.
    bool AppSets(std::uint32_t format, const unsigned char* bytes, std::size_t n)
    {
        const std::uint64_t seen = Updates();
        qp::MemHandle h = qp::GlobalAlloc(n);
        void* m = h != nullptr ? qp::GlobalLock(h) : nullptr;
        if (m == nullptr) {
            return false;
        }
        std::memcpy(m, bytes, n);
        (void)qp::GlobalUnlock(h);
        if (!qp::OpenClipboard(App()) || !qp::EmptyClipboard() || qp::SetClipboardData(format, h) == nullptr ||
            !qp::CloseClipboard() || !WaitUpdate(seen)) {
            return false;
        }
        // The watcher heard the close; the program's window has its own notice in its queue.
        for (int i = 0; i < 20000 && mgr_->Window().ClipboardChanged().load() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return mgr_->Window().ClipboardChanged().load() == 1;
    }

    // Clipboard writes finished since construction, and waiting for the next one.
    std::uint64_t Updates()
    {
        std::lock_guard<std::mutex> g(m_);
        return updates_;
    }
    bool WaitUpdate(std::uint64_t after, int timeoutMs = 20000)
    {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return updates_ > after; });
    }

    // What the application finds in one format (the block's content, slack included).
    std::vector<unsigned char> AppGets(std::uint32_t format)
    {
        std::vector<unsigned char> out;
        if (!qp::OpenClipboard(App())) {
            return out;
        }
        if (qp::MemHandle h = qp::GetClipboardData(format); h != nullptr) {
            const auto* m = static_cast<const unsigned char*>(qp::GlobalLock(h));
            out.assign(m, m + qp::GlobalSize(h));
            (void)qp::GlobalUnlock(h);
        }
        (void)qp::CloseClipboard();
        return out;
    }

    quorhost::HostPort& Host() { return host_; }
    quorhost::ClipAgent& Agent() { return *agent_; }

    static qp::WindowHandle App() { return reinterpret_cast<qp::WindowHandle>(0x5150); }
    static qp::WindowHandle Watcher() { return reinterpret_cast<qp::WindowHandle>(0x5160); }

private:
    std::filesystem::path dir_;
    quorhost::VirtioFsBackend backend_;
    std::unique_ptr<quor::ShareMgr> mgr_;
    quorhost::HostPort host_;
    std::unique_ptr<quorhost::ClipAgent> agent_;
    std::mutex m_;
    std::condition_variable cv_;
    std::uint64_t updates_ = 0;
    int token_ = 0;
};

// A copy of `n` bytes in memory just allocated and written, as an application's clipboard
// block is when the guest sends it. On this kind of virtual machine the kernel's first copy
// from such pages costs several times what a copy from pages it has read before costs (a
// raw send of 128 MiB: about 270 ms against 27 ms), so a baseline that sends the same bytes
// again and again from one buffer would measure the machine's memory, not the program.
inline std::unique_ptr<unsigned char[]> FreshCopy(const unsigned char* bytes, std::size_t n)
{
    std::unique_ptr<unsigned char[]> copy(new unsigned char[n]);
    std::memcpy(copy.get(), bytes, n);
    return copy;
}

// The line that goes with a baseline on fresh memory: the median rate of the same transfer
// with a buffer used before, and ours against it.
inline std::string WarmNote(std::vector<double> warmSeconds, double workPerRound, double oursRate)
{
    if (warmSeconds.empty()) {
        return {};
    }
    std::sort(warmSeconds.begin(), warmSeconds.end());
    const double warmRate = workPerRound / warmSeconds[(warmSeconds.size() - 1) / 2];
    char line[160];
    std::snprintf(line, sizeof line, "raw socket with a buffer used before: %.0f MiB/s (ours against it: %.3f)",
                  warmRate, oursRate / warmRate);
    return line;
}

// The baseline's socket pair: `Send` writes the bytes from a thread of its own while the
// caller reads them.
class RawPair {
public:
    RawPair() { ok_ = ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv_) == 0; }
    ~RawPair()
    {
        if (ok_) {
            ::close(sv_[0]);
            ::close(sv_[1]);
        }
    }
    RawPair(const RawPair&) = delete;
    RawPair& operator=(const RawPair&) = delete;
    bool Ok() const { return ok_; }

    // Seconds from the start of the send to the last byte read into `into`.
    bool Transfer(const unsigned char* bytes, std::size_t n, unsigned char* into, double& seconds)
    {
        bool sent = false;
        const auto t0 = Clock::now();
        std::thread sender([&] { sent = SendExact(sv_[0], bytes, n); });
        const bool got = ReadExact(sv_[1], into, n);
        const auto t1 = Clock::now();
        sender.join();
        seconds = Seconds(t0, t1);
        return sent && got;
    }

    // The baseline's pair of transfers of `n` bytes in one round: first with the memory on
    // one side just allocated (the sender's, a FreshCopy of `bytes`, when the guest sends
    // what an application or a conversion has just written; the receiver's when the guest
    // receives into a buffer it sizes for each message), then with `bytes` and `into`, used
    // before. The first time goes to `freshSeconds`, the second is added to `warmSeconds`.
    enum class Fresh { Sender, Receiver };
    bool FreshThenWarm(Fresh fresh, const unsigned char* bytes, std::size_t n, unsigned char* into,
                       double& freshSeconds, std::vector<double>& warmSeconds)
    {
        double warm = 0;
        if (fresh == Fresh::Sender) {
            const std::unique_ptr<unsigned char[]> copy = FreshCopy(bytes, n);
            if (!Transfer(copy.get(), n, into, freshSeconds)) {
                return false;
            }
        } else {
            std::vector<unsigned char> target(n);
            if (!Transfer(bytes, n, target.data(), freshSeconds)) {
                return false;
            }
        }
        if (!Transfer(bytes, n, into, warm)) {
            return false;
        }
        warmSeconds.push_back(warm);
        return true;
    }

private:
    int sv_[2] = {-1, -1};
    bool ok_ = false;
};

}  // namespace quorbench
