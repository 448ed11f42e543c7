// Checks of the names and paths that come from outside the guest: share names in the
// host's messages and image paths in HTML that any application or web page may have put on
// the clipboard. Each is checked once, where it enters; the rest of the program only ever
// sees names and paths that passed.
#pragma once

#include <string_view>

namespace quor {

// A share name the host may give: one non-empty path component of characters a Windows
// share name may hold, valid UTF-8. Refused: the separators and the characters Windows
// keeps out of share names (" * / : < > ? \ | [ ] + = ; ,), control characters, '%' (the
// name is also written into file URLs, where a percent escape could spell a separator or
// ".."), and a trailing '.' or space (Windows drops those, so "." and ".." would name the
// server itself).
bool IsValidShareName(std::string_view name);

// A local drive-letter path ("X:\..." or "X:/..."): the only kind of image path the guest
// looks up. UNC paths, "\\?\" and "\\.\" paths, device names and relative paths are not.
bool IsLocalDrivePath(std::string_view path);

}  // namespace quor
