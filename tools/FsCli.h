// `quorhost fs ...`: the host's file-share client on the command line.
#pragma once

#include <string>
#include <vector>

namespace quorhost {

class FsClient;

// `quorhost fs ...`: argv[0] is "fs".
int RunFsCli(int argc, char** argv);

// One command (`ls /`, `get <path> <file|->`, ...) over a connected client; 0 on success,
// 1 on an error reply (printed on stderr), 2 on wrong usage.
int RunFsCommand(FsClient& client, const std::vector<std::string>& cmd);

}  // namespace quorhost
