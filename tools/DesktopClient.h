// Another application of the simulated guest: a connection to the desktop's control socket
// ($QUOR_SIM_DIR/desktop) of the process that runs the guest program, for quorguest and the
// tests. The wire format is quorsharemgr/platform/posix/DesktopProtocol.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quorsharemgr/platform/posix/DesktopProtocol.h"
#include "tools/HostPort.h"

namespace quorguest {

class DesktopClient {
public:
    // Connects, retrying until the desktop listens or `waitMs` has passed.
    bool Connect(int waitMs = 5000);
    // Sends one request frame (any bytes: tests send malformed ones too).
    bool SendRequest(std::string_view body);
    bool SendRaw(std::string_view bytes);
    // The next answer frame's body; false on end of stream or time-out.
    bool NextAnswer(std::string& body, int timeoutMs = 70000);
    // One request, one answer.
    bool Request(std::string_view body, std::string& answer);

    bool Set(const std::vector<quor::platform::sim::SetItem>& items, std::string& answer);
    bool Get(std::vector<quor::platform::sim::FormatContent>& formats, std::string& answer);

private:
    quorhost::HostPort conn_;
};

// One clipboard format in a readable form: text and HTML as text, a DIB's header fields,
// a file list's paths, anything else in hex.
std::string Describe(const quor::platform::sim::FormatContent& format);

}  // namespace quorguest
