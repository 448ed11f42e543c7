#pragma once

namespace quorhost {

// `quorhost fs ...`: argv[0] is "fs".
int RunFsCli(int argc, char** argv);

}  // namespace quorhost
