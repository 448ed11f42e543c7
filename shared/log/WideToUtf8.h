#pragma once

#include <string>
#include <string_view>

namespace quor {

// Largest UTF-16 input WideToUtf8 accepts (in code units).
inline constexpr std::size_t kMaxWideToUtf8Units = 0x1FFFFFFE;

// Converts UTF-16 to UTF-8, replacing `output`. With `includeTerminator` the output's
// length counts a trailing NUL. Throws LogException when the input is too long or the
// conversion fails.
void WideToUtf8(std::u16string_view input, std::string& output, bool includeTerminator = false);

}  // namespace quor
