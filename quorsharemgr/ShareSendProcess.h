// The capture family: one object per send, created with the clipboard open, Init once,
// then the header values and the chunks are pulled, then it is destroyed (which releases
// the clipboard blocks it locked). Created, used and destroyed on the window thread; no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

namespace quor {

using ShareFileMap = std::unordered_map<std::string, std::string>;
// Registers a share for the files and returns its name; may throw a std::uint32_t error.
using CreateShareNameFn = std::function<std::string(const ShareFileMap& files)>;
using SendShareMessageFn = std::function<void(const char* shareName, std::uint32_t format)>;

class ShareSendProcess {
public:
    static constexpr std::uint32_t kChunk = 524288;

    virtual ~ShareSendProcess() = default;
    virtual bool Init() = 0;
    // The next chunk; false (and the cursor back at 0) after the last one.
    virtual bool GetNextData(const unsigned char*& start, std::uint32_t& length) = 0;
    virtual std::uint64_t GetDataLen() = 0;
    virtual std::uint32_t GetFormat() = 0;
    virtual const unsigned char* GetExtraHeader() = 0;
    virtual std::uint32_t GetExtraHeaderLen() = 0;

protected:
    // Chunks of one contiguous area.
    static bool NextChunk(const unsigned char* data, std::uint64_t length, std::uint64_t& cursor,
                          const unsigned char*& start, std::uint32_t& chunk);
};

}  // namespace quor
