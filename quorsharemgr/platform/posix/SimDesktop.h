// The simulated desktop's control socket (posix only): other applications of the guest act
// on the simulated clipboard through $QUOR_SIM_DIR/desktop (docs/simulation.md, wire format
// in DesktopProtocol.h).
//
// Life: every call of the clipboard seam first calls EnsureDesktopControl, which starts the
// server on the process's first clipboard call and, after SimMachine::Reset, stops it and
// starts it in the machine's new folder. The server is an acceptor thread plus one thread
// per connection (at most kMaxDesktopConnections); each connection is an application with
// a window handle of its own. Stopping shuts every connection down, wakes a held clipboard
// and joins every thread; it never runs under the clipboard's mutex, and the server's own
// threads never start or stop it (their clipboard calls skip EnsureDesktopControl). A
// server still running at process exit is stopped before the clipboard and the machine are
// destroyed.
#pragma once

namespace quor::platform::sim {

void EnsureDesktopControl();

}  // namespace quor::platform::sim
