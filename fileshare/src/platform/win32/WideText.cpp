#include "platform/WideText.h"

#include <windows.h>

namespace quor::platform {

int Utf8ToWideUnits(const char* in, char16_t* out, int outUnits)
{
    return ::MultiByteToWideChar(CP_UTF8, 0, in, -1, reinterpret_cast<wchar_t*>(out), outUnits);
}

std::uint32_t LastWideTextError() { return ::GetLastError(); }

}  // namespace quor::platform
