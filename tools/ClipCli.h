#pragma once

namespace quorhost {

// `quorhost clip ...`: the host's clipboard agent on the command line.
int RunClipCli(int argc, char** argv);

}  // namespace quorhost
