#include "quorsharemgr/platform/posix/SimDesktop.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "quorsharemgr/platform/posix/DesktopProtocol.h"
#include "quorsharemgr/platform/posix/SimClipboard.h"
#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/TextConv.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"
#include "shared/lib/platform/posix/SimSocket.h"

namespace quor::platform::sim {

namespace {

thread_local bool tlServerThread = false;

std::string Error(std::uint32_t code, const std::string& text) { return "error " + std::to_string(code) + " " + text; }

bool Utf16Of(std::string_view utf8, std::u16string& out)
{
    out.clear();
    if (utf8.empty()) {
        return true;
    }
    const int len = static_cast<int>(utf8.size());
    const int units = Utf8ToWideUnitsN(utf8.data(), len, nullptr, 0);
    if (units <= 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(units));
    return Utf8ToWideUnitsN(utf8.data(), len, out.data(), units) == units;
}

std::string Utf8Of(const std::u16string& text)
{
    if (text.empty()) {
        return {};
    }
    const int len = static_cast<int>(text.size());
    const int bytes = WideToUtf8Bytes(text.data(), len, nullptr, 0);
    std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideToUtf8Bytes(text.data(), len, out.data(), bytes);
    }
    return out;
}

std::string Utf16Bytes(const std::u16string& text)
{
    std::string out;
    out.reserve(text.size() * 2 + 2);
    for (const char16_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    out.append(2, '\0');
    return out;
}

// One item of a set as the block an application hands to SetClipboardData.
struct Placed {
    std::uint32_t format = 0;
    std::string bytes;
};

bool Place(const SetItem& item, Placed& out, std::string& error)
{
    std::u16string wide;
    if (item.kind == "text") {
        if (!Utf16Of(item.bytes, wide)) {
            error = "text does not convert";
            return false;
        }
        out = {kCfUnicodeText, Utf16Bytes(wide)};
    } else if (item.kind == "html") {
        out = {RegisterClipboardFormatW(kHtmlFormatName), CfHtmlOf(item.bytes)};
    } else if (item.kind == "dib") {
        out = {kCfDib, item.bytes};
    } else if (item.kind == "files") {
        std::vector<std::u16string> paths;
        std::string_view rest = item.bytes;
        while (true) {
            const auto eol = rest.find('\n');
            const std::string_view path = rest.substr(0, eol);
            if (path.empty() || !Utf16Of(path, wide)) {
                error = "empty or unconvertible path in files";
                return false;
            }
            paths.push_back(wide);
            if (eol == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(eol + 1);
        }
        out = {kCfHdrop, DropFilesOf(paths)};
    } else if (item.kind.rfind("format:", 0) == 0) {
        std::uint32_t n = 0;
        std::from_chars(item.kind.data() + 7, item.kind.data() + item.kind.size(), n);
        out = {n, item.bytes};
    } else {
        if (!Utf16Of(std::string_view(item.kind).substr(5), wide)) {
            error = "format name does not convert";
            return false;
        }
        const std::uint32_t n = RegisterClipboardFormatW(wide.c_str());
        if (n == 0) {
            error = "format name cannot be registered";
            return false;
        }
        out = {n, item.bytes};
    }
    return true;
}

class DesktopServer {
public:
    explicit DesktopServer(std::string path);
    ~DesktopServer();
    DesktopServer(const DesktopServer&) = delete;
    DesktopServer& operator=(const DesktopServer&) = delete;

private:
    struct Conn {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    void Serve(Conn& conn, std::uintptr_t window);
    std::string Answer(std::string_view body, int fd, WindowHandle window);
    std::string Set(std::string_view payload, WindowHandle window);
    std::string Get(WindowHandle window);
    std::string Hold(std::string_view ms, int fd, WindowHandle window);
    bool ReadExact(int fd, void* data, std::size_t length);
    static bool SendFrame(int fd, std::string_view body);

    std::string path_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    std::thread acceptor_;
    std::list<Conn> conns_;  // the acceptor's; read by the destructor after the acceptor ended
    std::uintptr_t accepted_ = 0;
};

DesktopServer::DesktopServer(std::string path) : path_(std::move(path))
{
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (stopFd_ < 0 || (listenFd_ = ListenUnixSocket(path_, 16)) < 0) {
        return;
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

DesktopServer::~DesktopServer()
{
    if (stopFd_ >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(stopFd_, &one, sizeof one);
    }
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    for (Conn& c : conns_) {
        ::shutdown(c.fd, SHUT_RDWR);
        c.thread.join();
        ::close(c.fd);
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(path_.c_str());
    }
    if (stopFd_ >= 0) {
        ::close(stopFd_);
    }
}

void DesktopServer::AcceptLoop()
{
    tlServerThread = true;
    while (true) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents == 0) {
            continue;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        // Connections that ended give their place back.
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (it->done.load()) {
                it->thread.join();
                ::close(it->fd);
                it = conns_.erase(it);
            } else {
                ++it;
            }
        }
        if (conns_.size() >= static_cast<std::size_t>(kMaxDesktopConnections)) {
            SendFrame(fd, Error(kErrorNoSystemResources, "too many applications"));
            ::close(fd);
            continue;
        }
        Conn& c = conns_.emplace_back();
        c.fd = fd;
        const std::uintptr_t window = kDesktopWindowBase + 16 * ++accepted_;
        c.thread = std::thread([this, &c, window] { Serve(c, window); });
    }
}

bool DesktopServer::ReadExact(int fd, void* data, std::size_t length)
{
    auto* p = static_cast<unsigned char*>(data);
    while (length > 0) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (fds[1].revents != 0) {
            return false;
        }
        const ssize_t n = ::recv(fd, p, length, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool DesktopServer::SendFrame(int fd, std::string_view body)
{
    const std::string frame = DesktopFrame(body);
    return SendAllOn(fd, frame.data(), frame.size());
}

void DesktopServer::Serve(Conn& conn, std::uintptr_t window)
{
    tlServerThread = true;
    std::string body;
    while (true) {
        unsigned char prefix[4];
        if (!ReadExact(conn.fd, prefix, sizeof prefix)) {
            break;
        }
        const std::uint32_t length = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) |
                                     (static_cast<std::uint32_t>(prefix[3]) << 24);
        if (length == 0 || length > kMaxDesktopFrame) {
            SendFrame(conn.fd, Error(kErrorInvalidParameter, "bad frame length"));
            break;
        }
        body.resize(length);
        if (!ReadExact(conn.fd, body.data(), length) ||
            !SendFrame(conn.fd, Answer(body, conn.fd, reinterpret_cast<WindowHandle>(window)))) {
            break;
        }
    }
    ::shutdown(conn.fd, SHUT_RDWR);
    conn.done.store(true);
}

std::string DesktopServer::Answer(std::string_view body, int fd, WindowHandle window)
{
    std::string_view line;
    std::string_view payload;
    SplitRequest(body, line, payload);
    if (line == "set") {
        return Set(payload, window);
    }
    if (line == "get" && payload.empty()) {
        return Get(window);
    }
    if (line.substr(0, 5) == "hold " && payload.empty()) {
        return Hold(line.substr(5), fd, window);
    }
    return Error(kErrorInvalidParameter, "unknown or malformed command");
}

std::string DesktopServer::Set(std::string_view payload, WindowHandle window)
{
    std::vector<SetItem> items;
    std::string error;
    if (!ParseSetItems(payload, items, error)) {
        return Error(kErrorInvalidParameter, error);
    }
    std::vector<Placed> placed(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!Place(items[i], placed[i], error)) {
            return Error(kErrorInvalidParameter, error);
        }
    }
    if (!OpenClipboard(window)) {
        return Error(LastError(), "OpenClipboard failed");
    }
    std::string failure;
    if (!EmptyClipboard()) {
        failure = Error(LastError(), "EmptyClipboard failed");
    }
    for (std::size_t i = 0; i < placed.size() && failure.empty(); ++i) {
        const Placed& p = placed[i];
        MemHandle h = GlobalAlloc(p.bytes.size());
        void* m = h == nullptr ? nullptr : GlobalLock(h);
        if (m == nullptr) {
            failure = Error(LastError(), "GlobalAlloc failed");
            if (h != nullptr) {
                GlobalFree(h);
            }
            break;
        }
        std::memcpy(m, p.bytes.data(), p.bytes.size());
        (void)GlobalUnlock(h);
        if (SetClipboardData(p.format, h) == nullptr) {
            failure = Error(LastError(), "SetClipboardData failed");
            GlobalFree(h);
        }
    }
    CloseClipboard();
    return failure.empty() ? "ok " + std::to_string(GetClipboardSequenceNumber()) : failure;
}

std::string DesktopServer::Get(WindowHandle window)
{
    if (!OpenClipboard(window)) {
        return Error(LastError(), "OpenClipboard failed");
    }
    std::vector<FormatContent> formats;
    for (std::uint32_t f = EnumClipboardFormats(0); f != 0; f = EnumClipboardFormats(f)) {
        FormatContent c;
        c.number = f;
        c.name = Utf8Of(GetClipboardFormatNameW(f));
        if (c.name.empty()) {
            c.name = PredefinedFormatName(f);
        }
        if (c.name.empty()) {
            c.name = "#" + std::to_string(f);
        }
        MemHandle h = GetClipboardData(f);
        const std::size_t size = h == nullptr ? 0 : GlobalSize(h);
        if (const void* m = size == 0 ? nullptr : GlobalLock(h)) {
            c.bytes.assign(static_cast<const char*>(m), size);
            (void)GlobalUnlock(h);
        }
        formats.push_back(std::move(c));
    }
    CloseClipboard();
    return EncodeGetAnswer(formats);
}

std::string DesktopServer::Hold(std::string_view ms, int fd, WindowHandle window)
{
    std::uint32_t n = 0;
    const auto [end, ec] = std::from_chars(ms.data(), ms.data() + ms.size(), n);
    if (ms.empty() || ec != std::errc() || end != ms.data() + ms.size() || n > kMaxHoldMs) {
        return Error(kErrorInvalidParameter, "hold needs 0 to 60000 ms");
    }
    if (!OpenClipboard(window)) {
        return Error(LastError(), "OpenClipboard failed");
    }
    SendFrame(fd, "ok held");
    // Until the time is up, the server stops, or the application goes away (its connection
    // closes; a request sent meanwhile waits for its turn).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(n);
    bool watchConnection = true;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {watchConnection ? fd : -1, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        if (fds[1].revents != 0) {
            char c;
            if (::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) {
                break;
            }
            watchConnection = false;
        }
    }
    CloseClipboard();
    return "ok released";
}

DesktopServer* gServer = nullptr;

std::mutex& ServerMutex()
{
    static std::mutex m;
    return m;
}

void StopAtExit()
{
    std::lock_guard<std::mutex> g(ServerMutex());
    delete gServer;
    gServer = nullptr;
}

}  // namespace

void EnsureDesktopControl()
{
    if (tlServerThread) {
        return;
    }
    static std::atomic<std::uint64_t> startedFor{~0ULL};
    const std::uint64_t resets = SimMachine::Get().ResetCount();
    if (startedFor.load(std::memory_order_acquire) == resets) {
        return;
    }
    // The clipboard and the machine exist before the exit handler is registered, so the
    // handler runs before they are destroyed.
    static const bool registered = [] {
        SimClipboard::Get();
        ServerMutex();
        return std::atexit(StopAtExit) == 0;
    }();
    (void)registered;
    std::lock_guard<std::mutex> g(ServerMutex());
    if (startedFor.load(std::memory_order_acquire) == resets) {
        return;
    }
    delete gServer;
    gServer = new DesktopServer(DesktopSocket());
    startedFor.store(resets, std::memory_order_release);
}

}  // namespace quor::platform::sim
