#include "quorsharemgr/BitmapSendProcess.h"

#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/ShareHeader.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "shared/lib/platform/LastError.h"
#include "shared/log/Log.h"

namespace quor {

bool BitmapSendProcess::Init()
{
    const platform::MemHandle handle = platform::GetClipboardData(kCfDib);
    if (handle == nullptr) {
        QLOG(kLogError, "Get bitmap clipboardData failed with error: {}", platform::LastError());
        return false;
    }
    block_ = std::make_unique<LockedBlock>(handle);
    if (!block_->Locked()) {
        QLOG(kLogError, "GlobalLock bitmap data failed with error: {}", platform::LastError());
        return false;
    }
    const std::uint64_t size = block_->Size();
    if (size > ShareHeader::kMaxBitmapData) {
        QLOG(kLogWarning, "Bitmap size {}, exceeds the maximum size {}", size, ShareHeader::kMaxBitmapData);
        return false;
    }
    const auto header = ComputeBitmapFileHeader(block_->Data(), size);
    if (!header) {
        QLOG(kLogError, "Bitmap info header does not fit the bitmap data of size {}", size);
        return false;
    }
    fileHeader_ = *header;
    dataLen_ = size;
    dib_ = block_->Data();
    return true;
}

bool BitmapSendProcess::GetNextData(const unsigned char*& start, std::uint32_t& length)
{
    return NextChunk(dib_, dataLen_, cursor_, start, length);
}

}  // namespace quor
