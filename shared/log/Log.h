// The one logging helper every component uses:
//   QLOG(kLogError, "Failed to open file: {}", name);
// passes the caller's source file and line and formats only when the logger is live.
#pragma once

#include <string>
#include <utility>

#include "Format.h"
#include "Logger.h"

namespace quor {

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

#define QLOG(level, ...) ::quor::LogFormatted((level), __FILE__, __LINE__, __VA_ARGS__)
