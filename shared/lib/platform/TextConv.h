// Platform seam: code-page conversion between UTF-16 and UTF-8.
#pragma once

#include <cstdint>

#include "shared/lib/platform/LastError.h"

namespace quor::platform {

// WideCharToMultiByte(CP_UTF8 = 65001, flags 0, ...): returns the number of bytes
// written (or needed when `out` is null / `outLen` is 0), 0 on failure with the
// reason in LastError().
int WideToUtf8Bytes(const char16_t* in, int inLen, char* out, int outLen);
// MultiByteToWideChar(CP_UTF8, 0, in, -1, out, outUnits) on the NUL-terminated `in`
// (invalid sequences become U+FFFD): returns the units written with the NUL, or 0 when it
// does not fit `outUnits` (error 122) or the arguments are wrong (error 87).
int Utf8ToWideUnits(const char* in, char16_t* out, int outUnits);

}  // namespace quor::platform

namespace quor::platform {

// MultiByteToWideChar(CP_UTF8, 0, in, inLen, out, outUnits) on exactly `inLen` bytes (no
// terminator is looked for; a NUL among them is converted like any character): the units
// written (or needed when outUnits is 0), 0 on failure (87 for inLen 0 or bad arguments,
// 122 when the output does not fit).
int Utf8ToWideUnitsN(const char* in, int inLen, char16_t* out, int outUnits);

}  // namespace quor::platform
