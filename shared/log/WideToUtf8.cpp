#include "shared/log/WideToUtf8.h"

#include "shared/log/LogException.h"
#include "shared/lib/platform/TextConv.h"

namespace quor {

void WideToUtf8(std::u16string_view input, std::string& output, bool includeTerminator)
{
    if (input.empty()) {
        output.clear();
        return;
    }
    if (input.size() > kMaxWideToUtf8Units) {
        throw LogException("UTF-16 string is too big to be converted to UTF-8");
    }
    // With the terminator, the conversion is asked to include the NUL that follows the
    // input; a string_view may not have one, so convert a terminated copy in that case.
    std::u16string terminated;
    const char16_t* src = input.data();
    int srcLen = static_cast<int>(input.size());
    if (includeTerminator) {
        terminated.assign(input);
        src = terminated.c_str();
        srcLen += 1;
    }
    const int needed = platform::WideToUtf8Bytes(src, srcLen, nullptr, 0);
    if (needed <= 0) {
        throw LogException("WideCharToMultiByte failed. Last error: " +
                           std::to_string(platform::LastError()));
    }
    output.resize(static_cast<std::size_t>(needed));
    const int written = platform::WideToUtf8Bytes(src, srcLen, output.data(), needed);
    if (written <= 0) {
        throw LogException("WideCharToMultiByte failed. Last error: " +
                           std::to_string(platform::LastError()));
    }
    output.resize(static_cast<std::size_t>(written));
}

}  // namespace quor
