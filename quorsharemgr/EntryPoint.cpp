#include "quorsharemgr/EntryPoint.h"

#include <cwctype>
#include <memory>

#include "quorsharemgr/ShareMgr.h"
#include "quorsharemgr/platform/Process.h"
#include "quorsharemgr/platform/Thread.h"
#include "shared/lib/PipeClient.h"
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
            if (pipeClient) {
                QLOG(kLogInfo, "PipeClient is set");
                const platform::SyncHandle handles[2] = {shareMgr.WindowThread(), pipeEnded->handle};
                (void)platform::WaitForMultipleObjects(2, handles, platform::kInfinite);
            } else {
                QLOG(kLogInfo, "PipeClient is NOT set");
                (void)platform::WaitForSingleObject(shareMgr.WindowThread(), platform::kInfinite);
            }
        }
        shareMgr.Deinit();
    }
    pipeClient.reset();
    return 0;
}

}  // namespace quor
