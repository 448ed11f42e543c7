#include "quorsharemgr/EntryPoint.h"

#include <atomic>
#include <condition_variable>
#include <cwctype>
#include <memory>
#include <mutex>

#include "quorsharemgr/ShareMgr.h"
#include "quorsharemgr/platform/ConsoleControl.h"
#include "quorsharemgr/platform/Process.h"
#include "quorsharemgr/platform/Thread.h"
#include "shared/lib/PipeClient.h"
#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/log/Log.h"

namespace quor {

namespace {

// An event handle closed when the last holder lets it go.
struct OwnedEvent {
    platform::SyncHandle handle = nullptr;
    OwnedEvent() : handle(platform::CreateEventW(true)) {}
    ~OwnedEvent()
    {
        if (handle != nullptr) {
            (void)platform::CloseHandle(handle);
        }
    }
    OwnedEvent(const OwnedEvent&) = delete;
    OwnedEvent& operator=(const OwnedEvent&) = delete;
};

// Set by a console control event: the main wait ends and the program shuts down as it does
// when the agent closes it.
std::atomic<platform::SyncHandle> g_stopRequest{nullptr};

// Ctrl+C, Ctrl+Break, the console closing, logoff, shutdown. Windows ends the process as
// soon as the handler of a close, logoff or shutdown event returns, so the handler does not
// return: it asks for the stop and waits until the entry point's return ends the process
// (with 0) under it.
bool OnConsoleControl(std::uint32_t event)
{
    QLOG(kLogInfo, "Console control event {}: shutting down", event);
    const platform::SyncHandle stop = g_stopRequest.load();
    if (stop != nullptr) {
        (void)platform::SetEvent(stop);
    }
    struct Parked {
        std::mutex m;
        std::condition_variable cv;
    };
    static auto* parked = new Parked;  // never destroyed: the process ends while it is waited on
    std::unique_lock<std::mutex> g(parked->m);
    parked->cv.wait(g, [] { return false; });
    return true;
}

void HandleConsoleControl()
{
    if (g_stopRequest.load() == nullptr) {
        g_stopRequest.store(platform::CreateEventW(true));  // kept for the life of the process
    }
    if (g_stopRequest.load() == nullptr || !platform::SetConsoleCtrlHandler(&OnConsoleControl)) {
        QLOG(kLogError, "SetConsoleCtrlHandler failed with error: {}", platform::LastError());
    }
}

// Start-up steps 5 and 6; false when the program has to stop at once.
bool StartShareMgr(ShareMgr& shareMgr)
{
    if (shareMgr.InitWindow() != 0) {
        QLOG(kLogError, "Failed to init Share manager window");
        return false;
    }
    const std::uint32_t result = shareMgr.InitConfiguration();
    switch (result) {
    case 0:
        QLOG(kLogInfo, "Share manager configuration init completed");
        return true;
    case platform::kErrorConnectionInvalid:
        QLOG(kLogError, "Failed to connect vioserial device");
        return true;
    case platform::kErrorAlreadyInitialized:
        QLOG(kLogWarning, "Share manager Configuration already initialised");
        return true;
    default:
        QLOG(kLogError, "Failed to init Share manager configuration: {}", result);
        return false;
    }
}

}  // namespace

std::u16string AgentPipeName(const std::vector<std::u16string>& args)
{
    if (args.size() != 1 || args[0].empty() || std::iswdigit(static_cast<std::wint_t>(args[0][0])) == 0) {
        return {};
    }
    return std::u16string(PipeClient::kPipeBaseName) + args[0];
}

int RunShareManager(const std::vector<std::u16string>& args)
{
    (void)Logger::Instance().Init(std::string(kDefaultLogPath));
    QLOG(kLogInfo, "quorsharemgr.exe built on {} {}", __DATE__, __TIME__);
    HandleConsoleControl();  // before any thread starts

    std::unique_ptr<PipeClient> pipeClient;
    std::shared_ptr<OwnedEvent> pipeEnded;
    const std::u16string pipeName = AgentPipeName(args);
    if (!pipeName.empty()) {
        pipeEnded = std::make_shared<OwnedEvent>();
        std::function<void()> onEnded;
        if (pipeEnded->handle != nullptr) {
            onEnded = [ended = pipeEnded] { (void)platform::SetEvent(ended->handle); };
        }
        pipeClient = std::make_unique<PipeClient>(pipeName, std::move(onEnded));
        if (pipeEnded->handle == nullptr || !pipeClient->Init()) {
            QLOG(kLogError, "Failed to init PipeClient");
            pipeClient.reset();
            return 0;
        }
        QLOG(kLogInfo, "PipeClient Init Completed");
    }

    (void)platform::SetProcessShutdownParameters(kShutdownLevelLast, 0);

    {
        ShareMgr shareMgr;
        if (StartShareMgr(shareMgr)) {
            QLOG(kLogInfo, "Share Manager is running");
            const platform::SyncHandle stop = g_stopRequest.load();
            if (pipeClient) {
                QLOG(kLogInfo, "PipeClient is set");
                const platform::SyncHandle handles[3] = {shareMgr.WindowThread(), pipeEnded->handle, stop};
                (void)platform::WaitForMultipleObjects(stop != nullptr ? 3 : 2, handles, platform::kInfinite);
            } else {
                QLOG(kLogInfo, "PipeClient is NOT set");
                const platform::SyncHandle handles[2] = {shareMgr.WindowThread(), stop};
                (void)platform::WaitForMultipleObjects(stop != nullptr ? 2 : 1, handles, platform::kInfinite);
            }
        }
        shareMgr.Deinit();
    }
    pipeClient.reset();
    return 0;
}

}  // namespace quor
