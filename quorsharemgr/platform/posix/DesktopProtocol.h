// The wire format of the simulated desktop's control socket (posix only), written once for
// the server in the program's process, the quorguest client and the tests. The contract is
// docs/simulation.md, "The desktop's control socket":
//
//   frame    = u32 little-endian length L (1..kMaxDesktopFrame for requests), L bytes
//   request  = command line ["\n" payload]
//   set item = "<kind> <size>\n" <size bytes>     (the kind is everything before the last space)
//   answer   = "ok" [" " result] | "error <n> <text>"
//   get      = "ok <count>\n" { "<number> <size> <name>\n" <size bytes> }
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quor::platform::sim {

inline constexpr std::uint32_t kMaxDesktopFrame = 64U << 20;
inline constexpr std::uint32_t kMaxHoldMs = 60000;
inline constexpr int kMaxDesktopConnections = 8;
inline constexpr std::uintptr_t kDesktopWindowBase = 0x6A000000;

// The length prefix and the body.
std::string DesktopFrame(std::string_view body);

// Splits a request body into its command line and its payload.
void SplitRequest(std::string_view body, std::string_view& commandLine, std::string_view& payload);

struct SetItem {
    std::string kind;   // text, html, dib, files, format:<n>, name:<name>
    std::string bytes;  // the item's bytes as sent
};
std::string EncodeSetRequest(const std::vector<SetItem>& items);
// False with `error` set when the payload is not a sequence of well-formed items.
bool ParseSetItems(std::string_view payload, std::vector<SetItem>& items, std::string& error);

struct FormatContent {
    std::uint32_t number = 0;
    std::string name;
    std::string bytes;  // the whole block
};
std::string EncodeGetAnswer(const std::vector<FormatContent>& formats);
bool ParseGetAnswer(std::string_view answer, std::vector<FormatContent>& formats);

// The Windows name of a predefined format, or "" for any other.
const char* PredefinedFormatName(std::uint32_t format);

// The block an application puts under "HTML Format" for an HTML fragment.
std::string CfHtmlOf(std::string_view fragment);
// A CF_HDROP block (wide DROPFILES) for UTF-16 paths.
std::string DropFilesOf(const std::vector<std::u16string>& paths);

}  // namespace quor::platform::sim
