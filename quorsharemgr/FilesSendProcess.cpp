#include "quorsharemgr/FilesSendProcess.h"

#include <utility>

#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/DropFiles.h"
#include "quorsharemgr/PatternScan.h"
#include "quorsharemgr/platform/Clipboard.h"
#include "quorsharemgr/platform/FileStatus.h"
#include "quorsharemgr/platform/Volume.h"
#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/log/Log.h"
#include "shared/log/LogException.h"
#include "shared/log/WideToUtf8.h"

namespace quor {

namespace {

constexpr std::u16string_view kHostFilePrefix = u"\\\\Velt\\clipboard_";

char16_t Fold(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool IsHostFile(const std::u16string& path)
{
    if (path.size() < kHostFilePrefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kHostFilePrefix.size(); ++i) {
        if (Fold(path[i]) != Fold(kHostFilePrefix[i])) {
            return false;
        }
    }
    return true;
}

bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

std::string ForLog(const std::u16string& path)
{
    std::string s;
    try {
        WideToUtf8(path, s);
    } catch (const LogException&) {
        s = "<unconvertible path>";
    }
    return s;
}

}  // namespace

FilesSendProcess::FilesSendProcess(CreateShareNameFn createShareName) : createShareName_(std::move(createShareName)) {}

bool FilesSendProcess::Init()
{
    const platform::MemHandle handle = platform::GetClipboardData(kCfHdrop);
    if (handle == nullptr) {
        QLOG(kLogError, "Get files clipboardData failed with error: {}", platform::LastError());
        return false;
    }
    block_ = std::make_unique<LockedBlock>(handle);
    if (!block_->Locked()) {
        QLOG(kLogError, "GlobalLock files data failed with error: {}", platform::LastError());
        return false;
    }
    data_ = block_->Data();
    dataLen_ = block_->Size();
    std::vector<std::u16string> paths;
    switch (ParseDropFiles(data_, block_->Size(), paths)) {
    case DropFilesResult::Ok:
        break;
    case DropFilesResult::NotWide:
        QLOG(kLogError, "ANSI file lists are not supported.");
        return false;
    case DropFilesResult::BadLayout:
    case DropFilesResult::Unterminated:
        QLOG(kLogError, "Get files clipboard data error.");
        return false;
    }
    ShareFileMap entries;
    if (!BuildList(paths, entries)) {
        return false;
    }
    if (entries.empty()) {
        QLOG(kLogError, "Failed to get file list.");
        return false;
    }
    std::string share;
    try {
        share = createShareName_(entries);
    } catch (std::uint32_t error) {
        // The capture ends here without a transfer; the window thread goes on.
        QLOG(kLogError, "Create virtual share name failed with error: {}", error);
        return false;
    }
    extraHeader_.assign(share.begin(), share.end());
    extraHeader_.push_back(0);
    data_ = nameList_.data();
    dataLen_ = nameList_.size();
    return true;
}

bool FilesSendProcess::BuildList(const std::vector<std::u16string>& paths, ShareFileMap& entries)
{
    for (std::size_t index = 0; index < paths.size(); ++index) {
        const std::u16string& path = paths[index];
        if (IsHostFile(path)) {
            return false;
        }
        if (index == 0) {
            const std::uint32_t error = platform::FileStatusError(path.c_str());
            if (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound ||
                error == platform::kErrorBadNetPath || error == platform::kErrorInvalidName) {
                QLOG(kLogWarning, "Can't find the specified path: {}", ForLog(path));
            } else if (error != 0) {
                QLOG(kLogWarning, "Failed to check path exists with error: {}", error);
            } else {
                const SharedFolder shared = InSharedFolder(path);
                if (shared == SharedFolder::Failed) {
                    return false;
                }
                if (shared == SharedFolder::Yes) {
                    QLOG(kLogWarning, "Files in shared folders are not supported");
                    return false;
                }
            }
        }
        std::string name;
        std::string full;
        if (path.size() == 2 || path.size() == 3) {
            std::u16string root = path;
            if (root.size() == 2) {
                root.push_back(u'\\');
            }
            std::u16string label;
            if (!platform::GetVolumeInformationW(root.c_str(), &label, nullptr)) {
                QLOG(kLogError, "GetVolumeInformationW failed with error: {}", platform::LastError());
                continue;
            }
            if (label.empty()) {
                if (!IsLetter(path[0])) {
                    QLOG(kLogError, "Failed to get volume name");
                    continue;
                }
                label = u"[" + std::u16string(1, path[0]) + u"] Volume";
            }
            try {
                WideToUtf8(label, name, false);
                WideToUtf8(path, full, false);
            } catch (const LogException&) {
                QLOG(kLogError, "Failed to get volume name");
                continue;
            }
        } else if (path.size() >= 4) {
            try {
                WideToUtf8(path, full, false);
            } catch (const LogException&) {
                QLOG(kLogError, "File path parameter is invalid: {}", ForLog(path));
                continue;
            }
            const std::size_t sep = full.find_last_of("\\/");
            if (sep == std::string::npos) {
                QLOG(kLogError, "File path parameter is invalid: {}", full);
                continue;
            }
            name = full.substr(sep + 1);
            if (name.empty()) {
                QLOG(kLogError, "Failed to get file name");
                continue;
            }
        } else {
            QLOG(kLogError, "File path parameter is invalid: {}", ForLog(path));
            continue;
        }
        entries.emplace(name, full);
        nameList_.insert(nameList_.end(), name.begin(), name.end());
        nameList_.push_back(0);
    }
    return true;
}

FilesSendProcess::SharedFolder FilesSendProcess::InSharedFolder(const std::u16string& path)
{
    if (path.size() < 2) {
        QLOG(kLogError, "File path parameter is invalid");
        return SharedFolder::Failed;
    }
    std::u16string root;
    if (IsLetter(path[0]) && path[1] == u':') {
        root = path.substr(0, 2) + u"\\";
    } else if (path[0] == u'\\' && path[1] == u'\\') {
        const auto span = scan::FindUncRoot(path);
        if (!span) {
            QLOG(kLogError, "Failed to search UNC root directory");
            return SharedFolder::Failed;
        }
        root = path.substr(span->begin, span->length) + u"\\";
    } else {
        QLOG(kLogError, "File path parameter is invalid: {}", ForLog(path));
        return SharedFolder::Failed;
    }
    std::u16string fileSystem;
    if (!platform::GetVolumeInformationW(root.c_str(), nullptr, &fileSystem)) {
        QLOG(kLogError, "GetVolumeInformationW failed with error: {}", platform::LastError());
        return SharedFolder::Failed;
    }
    return fileSystem == u"Velt" ? SharedFolder::Yes : SharedFolder::No;
}

bool FilesSendProcess::GetNextData(const unsigned char*& start, std::uint32_t& length)
{
    return NextChunk(data_, dataLen_, cursor_, start, length);
}

}  // namespace quor
