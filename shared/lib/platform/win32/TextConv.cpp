#include "shared/lib/platform/TextConv.h"

#include <windows.h>

namespace quor::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

int WideToUtf8Bytes(const char16_t* in, int inLen, char* out, int outLen)
{
    return ::WideCharToMultiByte(65001, 0, reinterpret_cast<const wchar_t*>(in), inLen, out, outLen, nullptr,
                                 nullptr);
}


}  // namespace quor::platform

// ---- UTF-8 to UTF-16 --------------------------------------------------------------------

namespace quor::platform {

int Utf8ToWideUnits(const char* in, char16_t* out, int outUnits)
{
    return ::MultiByteToWideChar(CP_UTF8, 0, in, -1, reinterpret_cast<wchar_t*>(out), outUnits);
}


}  // namespace quor::platform

namespace quor::platform {

int Utf8ToWideUnitsN(const char* in, int inLen, char16_t* out, int outUnits)
{
    return ::MultiByteToWideChar(CP_UTF8, 0, in, inLen, reinterpret_cast<wchar_t*>(out), outUnits);
}

}  // namespace quor::platform
