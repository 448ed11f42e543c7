// Captures the CF_DIB block and sends it unchanged, straight from the locked block, behind
// the BMP file header that makes extra header plus data a BMP file.
// States: created -> Init (block locked) -> chunks -> destroyed (block unlocked).
#pragma once

#include <memory>

#include "quorsharemgr/BitmapFileHeader.h"
#include "quorsharemgr/LockedBlock.h"
#include "quorsharemgr/ShareSendProcess.h"

namespace quor {

class BitmapSendProcess : public ShareSendProcess {
public:
    bool Init() override;
    bool GetNextData(const unsigned char*& start, std::uint32_t& length) override;
    std::uint64_t GetDataLen() override { return dataLen_; }
    std::uint32_t GetFormat() override { return 1; }
    const unsigned char* GetExtraHeader() override { return reinterpret_cast<const unsigned char*>(&fileHeader_); }
    std::uint32_t GetExtraHeaderLen() override { return sizeof(BitmapFileHeader); }

private:
    std::uint64_t cursor_ = 0;
    std::uint64_t dataLen_ = 0;
    std::unique_ptr<LockedBlock> block_;
    const unsigned char* dib_ = nullptr;
    BitmapFileHeader fileHeader_;
};

}  // namespace quor
