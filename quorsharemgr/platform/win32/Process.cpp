#include "quorsharemgr/platform/Process.h"

#include <windows.h>
#include <shellapi.h>

namespace quor::platform {

std::vector<std::u16string> CommandLineArguments(int, char**)
{
    std::vector<std::u16string> args;
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (argv == nullptr) {
        return args;
    }
    for (int i = 1; i < count; ++i) {
        args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    }
    ::LocalFree(argv);
    return args;
}

bool SetProcessShutdownParameters(std::uint32_t level, std::uint32_t flags)
{
    return ::SetProcessShutdownParameters(level, flags) != FALSE;
}

}  // namespace quor::platform
