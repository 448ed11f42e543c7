#pragma once

#include <exception>
#include <string>
#include <utility>

namespace quor {

// The program's own exception: raised by the UTF-16 conversion and by event-log reports.
class LogException : public std::exception {
public:
    explicit LogException(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

}  // namespace quor
