// `quorhost clip ...`: the host's clipboard agent on the command line.
#pragma once

#include <filesystem>

namespace quorhost {

class ClipAgent;
class FsClient;

// `quorhost clip ...`: argv[0] is "clip".
int RunClipCli(int argc, char** argv);

// Asks the guest for its clipboard (SyncToHost) and saves what it sends into `dir`: text.txt,
// html.html, image.bmp, or a file list's files under dir/<share>/, fetched through
// `fileShare` (a connected client), or through a client of its own on port 4 when null.
// Prints one line per part. 0 on success.
int GetGuestClipboard(ClipAgent& agent, const std::filesystem::path& dir, int waitMs, FsClient* fileShare);

}  // namespace quorhost
