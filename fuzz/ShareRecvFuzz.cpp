// Feeds arbitrary clipboard messages to the receive record the way the transport does:
// the fixed-header checks, the whole header into the buffer and its checks, then the data
// (dataLen bytes and a zero byte after them) and Decode. Two messages go through one
// record, so the share-name bookkeeping across Reset is reached too.
//
// Input: byte 0 chooses how the header is made. Bit 0 set: from fields (u32 format, u8
// extra length, the extra bytes, u32 dataLen) with a correct checksum, so that the checks
// behind the checksum and Decode are reached; clear: the next headerLen bytes as they are.
// The rest is the data; missing data bytes are zeros, as a stream of zeros would give.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "quorsharemgr/ShareHeader.h"
#include "quorsharemgr/ShareRecvProcess.h"

namespace {

constexpr std::uint64_t kMaxFedData = 1U << 20;  // larger messages stop after the checks

struct Reader {
    const std::uint8_t* p;
    std::size_t n;
    bool Take(void* out, std::size_t k)
    {
        if (k > n) {
            return false;
        }
        std::memcpy(out, p, k);
        p += k;
        n -= k;
        return true;
    }
};

bool OneMessage(quor::ShareRecvProcess& r, Reader& in)
{
    std::uint8_t mode = 0;
    if (!in.Take(&mode, 1)) {
        return false;
    }
    std::vector<unsigned char> header;
    if ((mode & 1) != 0) {
        std::uint32_t format = 0;
        std::uint8_t extraLen = 0;
        if (!in.Take(&format, 4) || !in.Take(&extraLen, 1)) {
            return false;
        }
        std::vector<char> extra(extraLen % 49);
        std::uint32_t dataLen = 0;
        if (!in.Take(extra.data(), extra.size()) || !in.Take(&dataLen, 4)) {
            return false;
        }
        header = quor::ShareHeader::Build(format, std::string_view(extra.data(), extra.size()), dataLen);
    } else {
        header.resize(quor::ShareHeader::kSize);
        if (!in.Take(header.data(), header.size())) {
            return false;
        }
    }
    r.Reset();
    if (!r.CheckHeader(header.data()) || !r.CheckFormat(header.data())) {
        return true;
    }
    const quor::ShareHeader h = quor::ShareHeader::Parse(header.data());
    const std::size_t had = header.size();
    header.resize(h.headerLen);
    if (h.headerLen > had && !in.Take(header.data() + had, h.headerLen - had)) {
        return false;
    }
    unsigned char* b = r.ResizeBuffer(header.size());
    if (b == nullptr) {
        return true;
    }
    std::memcpy(b, header.data(), header.size());
    if (!r.CheckExtraHeader() || r.DataLen() > kMaxFedData) {
        return true;
    }
    const auto dataLen = static_cast<std::size_t>(r.DataLen());
    unsigned char* d = r.ResizeBuffer(dataLen + 1);
    if (d == nullptr) {
        return true;
    }
    const std::size_t given = dataLen < in.n ? dataLen : in.n;
    std::memcpy(d, in.p, given);
    std::memset(d + given, 0, dataLen + 1 - given);
    in.p += given;
    in.n -= given;
    (void)r.Decode();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quor::ShareRecvProcess r([](const char* name) {
        if (name == nullptr) {
            __builtin_trap();  // a release always names its share
        }
    });
    Reader in{data, size};
    if (OneMessage(r, in)) {
        (void)OneMessage(r, in);
    }
    return 0;
}
