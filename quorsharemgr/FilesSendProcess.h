// Captures a file list (CF_HDROP): registers the listed files under a new virtual share
// and sends the share name and the entry names, never the file contents.
// States: created -> Init (block locked, share registered, name list built) -> chunks ->
// destroyed (block unlocked). The share outlives the object.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "quorsharemgr/LockedBlock.h"
#include "quorsharemgr/ShareSendProcess.h"

namespace quor {

class FilesSendProcess : public ShareSendProcess {
public:
    explicit FilesSendProcess(CreateShareNameFn createShareName);

    bool Init() override;
    bool GetNextData(const unsigned char*& start, std::uint32_t& length) override;
    std::uint64_t GetDataLen() override { return dataLen_; }
    std::uint32_t GetFormat() override { return 2; }
    const unsigned char* GetExtraHeader() override { return extraHeader_.data(); }
    std::uint32_t GetExtraHeaderLen() override { return static_cast<std::uint32_t>(extraHeader_.size()); }

    const std::vector<unsigned char>& NameList() const { return nameList_; }

private:
    enum class SharedFolder { No, Yes, Failed };
    static SharedFolder InSharedFolder(const std::u16string& path);
    bool BuildList(const std::vector<std::u16string>& paths, ShareFileMap& entries);

    std::uint64_t cursor_ = 0;
    std::uint64_t dataLen_ = 0;
    std::unique_ptr<LockedBlock> block_;
    const unsigned char* data_ = nullptr;
    std::vector<unsigned char> extraHeader_;
    std::vector<unsigned char> nameList_;
    CreateShareNameFn createShareName_;
};

}  // namespace quor
