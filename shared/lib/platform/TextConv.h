// Platform seam: code-page conversion.
#pragma once

#include <cstdint>

namespace quor::platform {

// WideCharToMultiByte(CP_UTF8 = 65001, flags 0, ...): returns the number of bytes
// written (or needed when `out` is null / `outLen` is 0), 0 on failure with the
// reason available from LastConversionError().
int WideToUtf8Bytes(const char16_t* in, int inLen, char* out, int outLen);
std::uint32_t LastConversionError();

}  // namespace quor::platform
