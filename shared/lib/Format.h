// One place that decides how "{}" messages are formatted: std::format where the
// standard library has it, the header-only {fmt} otherwise. Both accept the same
// format strings, so every message reads the same on every build.
#pragma once

#include <version>

#if defined(__cpp_lib_format)
#include <format>
namespace quor {
using std::format;
using std::vformat;
using std::make_format_args;
template <class... Args>
using format_string = std::format_string<Args...>;
}  // namespace quor
#else
#ifndef FMT_HEADER_ONLY
#define FMT_HEADER_ONLY
#endif
#include <fmt/format.h>
namespace quor {
using fmt::format;
using fmt::vformat;
using fmt::make_format_args;
template <class... Args>
using format_string = fmt::format_string<Args...>;
}  // namespace quor
#endif
