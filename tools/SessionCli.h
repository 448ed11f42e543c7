// `quorhost session`: one host for a whole session, driven line by line on stdin.
#pragma once

namespace quorhost {

// argv[0] is "session".
int RunSessionCli(int argc, char** argv);

}  // namespace quorhost
