// The host's clipboard agent over a connected clipboard port: waits for the guest's
// ListenStarted, asks for the guest clipboard with SyncToHost, sends host text, HTML,
// bitmaps and file shares, and receives what the guest sends, keeping the guest's HTML
// share names and the shares it released. One thread uses an agent at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/HostPort.h"

namespace quorhost {

struct GuestClip {
    std::uint32_t format = 0;
    std::string text;                 // UTF-8 plain text part
    std::string html;                 // HTML part
    std::string htmlShare;            // the HtmlShareName that came before it
    std::vector<unsigned char> dib;   // the BMP file (header and pixels) of a bitmap
    std::string filesShare;           // share name of a file list
    std::vector<std::string> files;   // entry names of a file list
    ClipMessage raw;                  // the data message as received
};

class ClipAgent {
public:
    explicit ClipAgent(HostPort& port) : port_(port) {}

    // Reads until the guest's ListenStarted; messages before it are kept for Next.
    bool WaitListenStarted(int timeoutMs = 10000);
    bool SyncToHost();
    bool SendText(const std::string& utf8);
    bool SendHtml(const std::string& html, const std::string& text = {});
    bool SendDib(const std::vector<unsigned char>& dib);
    bool SendFiles(const std::string& shareName);
    bool SendHtmlShareName(const std::string& shareName);

    // The next data message from the guest (text/HTML, bitmap, files); share-name messages
    // on the way are recorded. False on time-out or a broken stream.
    bool Next(GuestClip& clip, int timeoutMs = 10000);
    // The same in two steps: the next data message as received (its buffers are reused when
    // `m` is passed again), then its decoding, which takes the message over.
    bool NextData(ClipMessage& m, int timeoutMs = 10000);
    bool Decode(ClipMessage&& m, GuestClip& clip) const;
    // The next message of any kind, with share-name bookkeeping.
    bool NextMessage(ClipMessage& m, int timeoutMs);

    const std::vector<std::string>& Released() const { return released_; }
    int ListenStartedSeen() const { return listenStarted_; }

private:
    HostPort& port_;
    std::vector<ClipMessage> pending_;
    std::vector<std::string> released_;
    std::string htmlShare_;
    int listenStarted_ = 0;
};

}  // namespace quorhost
