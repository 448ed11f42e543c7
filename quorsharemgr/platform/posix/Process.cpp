#include "quorsharemgr/platform/Process.h"

#include <atomic>
#include <cstring>

#include "quorsharemgr/platform/posix/SimProcess.h"
#include "shared/lib/platform/TextConv.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

namespace {

std::atomic<std::uint64_t> g_shutdownParameters{0};

std::u16string Widen(const char* text)
{
    const int units = Utf8ToWideUnitsN(text, static_cast<int>(std::strlen(text)), nullptr, 0);
    if (units <= 0) {
        return {};
    }
    std::u16string out(static_cast<std::size_t>(units), u'\0');
    (void)Utf8ToWideUnitsN(text, static_cast<int>(std::strlen(text)), out.data(), units);
    return out;
}

}  // namespace

std::vector<std::u16string> CommandLineArguments(int argc, char** argv)
{
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(Widen(argv[i]));
    }
    return args;
}

bool SetProcessShutdownParameters(std::uint32_t level, std::uint32_t flags)
{
    if (sim::FailsAt("Process.SetProcessShutdownParameters")) {
        return false;
    }
    g_shutdownParameters.store((std::uint64_t{level} << 32) | flags);
    return true;
}

namespace sim {

std::uint64_t ShutdownParameters() { return g_shutdownParameters.load(); }

}  // namespace sim

}  // namespace quor::platform
