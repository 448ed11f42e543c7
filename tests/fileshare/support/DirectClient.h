// Test support: requests handed straight to FuseServer::HandleRequest, with one reused
// reply buffer as the serving thread has.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fileshare/src/FuseServer.h"
#include "fileshare/src/WireFormat.h"

namespace fstest {

struct Reply {
    quor::fs::ReplyHeader header {};
    std::vector<unsigned char> payload;
    std::int32_t error() const { return header.error; }
};

class DirectClient {
public:
    explicit DirectClient(quor::fs::FuseServer& server)
        : server_(server), request_(quor::fs::kBufferSize), reply_(quor::fs::kBufferSize, 0xAB)
    {
    }

    Reply Call(std::uint32_t opcode, const std::string& path, const quor::fs::ArgBlock& args = {},
               const std::string& second = {}, const std::vector<unsigned char>& data = {})
    {
        const std::size_t n = quor::fs::BuildRequest(request_.data(), request_.size(), opcode, ++unique_, args, path,
                                                     second, data.data(), data.size());
        return Raw(request_.data(), n);
    }
    Reply Raw(const unsigned char* bytes, std::size_t n)
    {
        lastOnPort_ = server_.HandleRequest(bytes, n, reply_.data());
        Reply r;
        std::memcpy(&r.header, reply_.data(), sizeof r.header);
        r.payload.assign(reply_.begin() + 24, reply_.begin() + 24 + r.header.length);
        return r;
    }
    std::vector<unsigned char>& ReplyBuffer() { return reply_; }
    std::uint64_t LastUnique() const { return unique_; }
    // Whether the latest reply would have been sent on the port.
    bool LastOnPort() const { return lastOnPort_; }

    static quor::fs::ArgBlock Args(std::uint64_t handle, std::uint64_t flags = 0, std::uint64_t size = 0,
                                   std::uint64_t offset = 0)
    {
        quor::fs::ArgBlock a {};
        a.flags = flags;
        a.hostFileHandle = handle;
        a.size = size;
        a.offset = offset;
        return a;
    }

private:
    quor::fs::FuseServer& server_;
    std::vector<unsigned char> request_;
    std::vector<unsigned char> reply_;
    std::uint64_t unique_ = 0;
    bool lastOnPort_ = false;
};

}  // namespace fstest
