// The one logging helper every component uses:
//   QLOG(kLogError, "Failed to open file: {}", name);
// passes the caller's source file and line and formats only when the logger is live.
#pragma once

#include <string>
#include <utility>

#include "shared/lib/Format.h"
#include "shared/log/Logger.h"

namespace quor {

// The part of a source path after its last "\\" or "/", found while compiling.
consteval const char* SourceBaseName(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            base = p + 1;
        }
    }
    return base;
}

template <class... Args>
void LogFormatted(int level, const char* file, int line, quor::format_string<Args...> fmt, Args&&... args)
{
    Logger& logger = Logger::Instance();
    if (!logger.IsInitialised()) {
        return;
    }
    logger.Log(level, file, line, quor::format(fmt, std::forward<Args>(args)...));
}

}  // namespace quor

#define QLOG(level, ...) ::quor::LogFormatted((level), ::quor::SourceBaseName(__FILE__), __LINE__, __VA_ARGS__)
