// Platform seam: UTF-8 to UTF-16 for local paths.
// win32: MultiByteToWideChar(CP_UTF8, 0, in, -1, out, outUnits). posix: the same result
// (invalid sequences become U+FFFD).
#pragma once

#include <cstdint>

namespace quor::platform {

// Converts the NUL-terminated `in`; returns the units written with the NUL, or 0 when it
// does not fit `outUnits` (error 122) or the arguments are wrong (error 87).
int Utf8ToWideUnits(const char* in, char16_t* out, int outUnits);
std::uint32_t LastWideTextError();

}  // namespace quor::platform
