#include "platform/TextConv.h"

#include <windows.h>

namespace quor::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

int WideToUtf8Bytes(const char16_t* in, int inLen, char* out, int outLen)
{
    return ::WideCharToMultiByte(65001, 0, reinterpret_cast<const wchar_t*>(in), inLen, out, outLen, nullptr,
                                 nullptr);
}

std::uint32_t LastConversionError() { return ::GetLastError(); }

}  // namespace quor::platform
