#include "fileshare/src/LocalFS.h"

#include <algorithm>
#include <cstring>

#include "shared/log/Log.h"
#include "shared/lib/platform/CrtFiles.h"
#include "fileshare/src/platform/FileApi.h"
#include "fileshare/src/platform/FixedMemory.h"
#include "shared/lib/platform/TextConv.h"

namespace quor::fs {

namespace {

// File and directory names never reach the log.
constexpr const char* kHidden = "<HIDDEN-DATA>";

constexpr std::size_t kHeadSize = sizeof(DirRecordHead);
constexpr std::size_t kLargestRecord = 0x1040;  // a head and the largest converted name
constexpr int kNameBytes = 4096;
constexpr std::uint32_t kAttrLength = sizeof(AttrRecord);
constexpr std::uint32_t kWriteLength = 64;
// The runtime's text/binary translation bits of an open flag (_O_TEXT, _O_BINARY,
// _O_WTEXT, _O_U16TEXT, _O_U8TEXT): the read descriptor translates as the host's does.
constexpr std::uint32_t kTranslationFlags = 0x4000 | 0x8000 | 0x10000 | 0x20000 | 0x40000;

// Flags that leave a file as it is: access mode read-only (0), text/binary translation,
// and hints. Anything else (write access, append, create, truncate, exclusive, delete on
// close, ...) can change the file and is refused on a read-only share.
constexpr std::uint32_t kReadOnlyOpenFlags = 0x8000 | 0x4000 | 0x10000 | 0x20000 | 0x40000 | 0x80 | 0x20 | 0x10;

void SetLength(unsigned char* reply, std::uint32_t length)
{
    std::memcpy(reply + offsetof(ReplyHeader, length), &length, sizeof length);
}

std::uint32_t GetLength(const unsigned char* reply)
{
    std::uint32_t length = 0;
    std::memcpy(&length, reply + offsetof(ReplyHeader, length), sizeof length);
    return length;
}

// A fixed-size payload: its bytes are zeroed so that nothing of an earlier reply shows.
unsigned char* Payload(unsigned char* reply, std::uint32_t length)
{
    SetLength(reply, length);
    unsigned char* p = reply + sizeof(ReplyHeader);
    std::memset(p, 0, length);
    return p;
}

}  // namespace

LocalFS::LocalFS()
{
    pathBuffer_ = static_cast<char16_t*>(platform::AllocFixed(kPathUnits * sizeof(char16_t)));
    if (pathBuffer_ != nullptr) {
        newPathBuffer_ = static_cast<char16_t*>(platform::AllocFixed(kConvertUnits * sizeof(char16_t)));
    }
    if (newPathBuffer_ == nullptr) {
        allocError_ = platform::LastError();
    }
}

LocalFS::~LocalFS()
{
    // No descriptor outlives the backend: the read descriptors of records that queued
    // READs still hold are closed when the READ channel drops its jobs.
    CloseAll();
    platform::FreeFixed(newPathBuffer_);
    platform::FreeFixed(pathBuffer_);
}

void LocalFS::Stop()
{
    CloseAll();
    reads_.Stop();
    initialised_ = 0;
}

bool LocalFS::Init()
{
    if (initialised_ != 0) {
        QLOG(kLogWarning, "LocalFS already initialised!");
        return true;
    }
    if (!reads_.OpenDevice()) {
        QLOG(kLogError, "Failed to get VioFs device");
        return false;
    }
    if (pathBuffer_ == nullptr || newPathBuffer_ == nullptr) {
        QLOG(kLogError, "LocalAlloc path buffer failed with error: {}", allocError_);
        return false;
    }
    if (!reads_.Start()) {
        return false;
    }
    initialised_ = 1;
    return true;
}

bool LocalFS::ConvertPath(const std::string& path, char16_t* buffer)
{
    if (buffer == nullptr) {
        return false;
    }
    if (platform::Utf8ToWideUnits(path.c_str(), buffer, kConvertUnits) == 0) {
        QLOG(kLogError, "Can't convert path {}, error: {}", kHidden, platform::LastError());
        return false;
    }
    return true;
}

std::int32_t LocalFS::Prepare(const LocalPath& path, char16_t* buffer, std::int32_t linkError)
{
    if (!ConvertPath(path.path, buffer)) {
        return kErrFailure;
    }
    if (LeadsThroughLink(buffer, path.componentsBelow)) {
        QLOG(kLogError, "Path {} leads through a link.", kHidden);
        return linkError;
    }
    return 0;
}

bool LocalFS::LeadsThroughLink(char16_t* widePath, std::uint32_t componentsBelow)
{
    if (componentsBelow == 0) {
        return false;
    }
    const std::size_t n = std::char_traits<char16_t>::length(widePath);
    // The separator in front of the first component below the exported entry.
    std::size_t start = n;
    for (std::uint32_t seen = 0; seen < componentsBelow;) {
        if (start == 0) {
            return true;  // fewer components than the resolution counted: refuse
        }
        if (widePath[--start] == u'\\') {
            ++seen;
        }
    }
    for (std::size_t i = start + 1; i <= n; ++i) {
        if (i < n && widePath[i] != u'\\') {
            continue;
        }
        const char16_t kept = widePath[i];
        widePath[i] = u'\0';
        const std::uint32_t attributes = platform::PathAttributes(widePath);
        const std::uint32_t error = platform::LastError();
        widePath[i] = kept;
        if (attributes == platform::kInvalidAttributes) {
            // Nothing exists below a missing component; a component that cannot be
            // examined is not gone through.
            return error != platform::kErrorFileNotFound && error != platform::kErrorPathNotFound;
        }
        if ((attributes & platform::kAttributeReparsePoint) != 0) {
            return true;
        }
    }
    return false;
}

std::shared_ptr<OpenFile> LocalFS::FindRecord(const std::u16string& path, std::uint64_t handle,
                                              const std::string& share)
{
    const auto s = openFiles_.find(share);
    if (s == openFiles_.end()) {
        return nullptr;
    }
    const auto f = s->second.find(OpenFileKey{path, handle});
    return f == s->second.end() ? nullptr : f->second;
}

int LocalFS::FindOpenFile(const std::u16string& path, std::uint64_t hostFileHandle, const std::string& share)
{
    std::lock_guard<std::mutex> g(fileLock_);
    const auto record = FindRecord(path, hostFileHandle, share);
    return record ? record->Descriptor() : -1;
}

std::int32_t LocalFS::GetAttr(const LocalPath& path, unsigned char* reply)
{
    std::lock_guard<std::mutex> g(fileLock_);
    unsigned char* payload = Payload(reply, kAttrLength);
    if (const std::int32_t r = Prepare(path, pathBuffer_); r != 0) {
        return r;
    }
    platform::FileStat64 st {};
    if (platform::WStat64(pathBuffer_, st) != 0) {
        QLOG(kLogError, "Failed to get attr of {}, error: {}", kHidden, platform::Errno());
        return kErrFailure;
    }
    AttrRecord rec {};
    rec.mode = st.mode;
    rec.size = static_cast<std::uint64_t>(st.size);
    rec.atime = static_cast<std::uint64_t>(st.atime);
    rec.mtime = static_cast<std::uint64_t>(st.mtime);
    rec.ctime = static_cast<std::uint64_t>(st.ctime);
    std::memcpy(payload, &rec, sizeof rec);
    return 0;
}

std::int32_t LocalFS::Open(const LocalPath& path, const ArgBlock& args, bool readOnly, const std::string& share)
{
    const auto flags = static_cast<std::uint32_t>(args.flags);
    const std::uint64_t handle = args.hostFileHandle;
    std::lock_guard<std::mutex> g(fileLock_);
    if (const std::int32_t r = Prepare(path, pathBuffer_); r != 0) {
        return r;
    }
    std::u16string wide(pathBuffer_);
    if (FindRecord(wide, handle, share)) {
        QLOG(kLogError, "Can't open file {}, host fileHandle {} with flags {}: already opened.", kHidden, handle,
             flags);
        return kErrFailure;
    }
    if (readOnly && (flags & ~kReadOnlyOpenFlags) != 0) {
        QLOG(kLogError, "Can't open file {}, host fileHandle {} with flags {}: share is read only.", kHidden, handle,
             flags);
        return kErrAccess;
    }
    const bool writeAccess = (flags & (kOpenWriteOnly | kOpenReadWrite)) != 0;
    const int permission = platform::kPermRead | (writeAccess ? platform::kPermWrite : 0);
    int fd = -1;
    const int err = platform::WSOpenS(fd, pathBuffer_, static_cast<int>(flags), platform::kShareDenyNone, permission);
    if (err != 0) {
        QLOG(kLogError, "Can't open file {}, with flags {}, error: {}", kHidden, flags, err);
        return kErrFailure;
    }
    // The worker reads through a descriptor of its own, so that a READ and a WRITE never
    // share a file position. A write-only file gets none: its READs fail as they would.
    int readFd = -1;
    const bool readAccess = (flags & (kOpenWriteOnly | kOpenReadWrite)) != kOpenWriteOnly;
    if (readAccess && !platform::ReopenForRead(fd, static_cast<int>(flags & kTranslationFlags), readFd)) {
        QLOG(kLogError, "Can't open file {}, with flags {}, error: {}", kHidden, flags, platform::LastError());
        (void)platform::CloseFd(fd);
        return kErrFailure;
    }
    auto& files = openFiles_[share];
    auto& slot = files[OpenFileKey{std::move(wide), handle}];
    if (slot) {
        (void)slot->Close();
    }
    slot = std::make_shared<OpenFile>(fd, readFd, handle);
    return 0;
}

std::int32_t LocalFS::Read(const std::string& path, const ArgBlock& args, const unsigned char* reply,
                           const std::string& share)
{
    ReplyHeader header;
    std::memcpy(&header, reply, sizeof header);
    ReadJob job;
    job.unique = header.unique;
    job.opcode = header.opcode;
    job.offset = args.offset;
    job.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(args.size, ReadJob::kMaxSize));
    std::lock_guard<std::mutex> g(fileLock_);
    if (ConvertPath(path, pathBuffer_)) {
        job.file = FindRecord(pathBuffer_, args.hostFileHandle, share);
    }
    if (!job.file) {
        QLOG(kLogError, "Can't read file {}, host fileHandle {}, error: not opened.", kHidden, args.hostFileHandle);
    } else {
        job.descriptor = job.file->Descriptor();
    }
    if (!reads_.Enqueue(std::move(job))) {
        QLOG(kLogError, "Read queue full: {}", ReadChannel::kQueueLimit);
        return kErrFailure;
    }
    return 0;
}

bool LocalFS::QueueReadFailure(std::uint64_t unique, std::int32_t error)
{
    ReadJob job;
    job.unique = unique;
    job.opcode = FUSE_READ;
    job.error = error < 0 ? error : kErrFailure;
    return reads_.Enqueue(std::move(job));
}

std::int32_t LocalFS::ReadDir(const LocalPath& path, unsigned char* reply)
{
    std::lock_guard<std::mutex> g(fileLock_);
    std::memset(reply + sizeof(ReplyHeader), 0, kHeadSize);
    if (const std::int32_t r = Prepare(path, pathBuffer_); r != 0) {
        return r;
    }
    std::size_t n = std::char_traits<char16_t>::length(pathBuffer_);
    pathBuffer_[n++] = u'\\';
    pathBuffer_[n++] = u'*';
    pathBuffer_[n] = u'\0';
    platform::DirSearch* search = platform::FindFirstEntry(pathBuffer_);
    if (search == nullptr) {
        QLOG(kLogError, "Unable to find first file in dir: {}, error: {}", kHidden, platform::LastError());
        return kErrFailure;
    }
    std::size_t cursor = sizeof(ReplyHeader);
    for (bool first = true;; first = false) {
        if (!first && cursor + kLargestRecord > kBufferSize) {
            QLOG(kLogError, "ReadDir reply buffer too small: {}", kBufferSize);
            SetLength(reply, 0);
            platform::EndSearch(search);
            return kErrFailure;
        }
        unsigned char* head = reply + cursor;
        std::memset(head, 0, kHeadSize);
        const int bytes = platform::WideToUtf8Bytes(platform::EntryName(search), -1,
                                                    reinterpret_cast<char*>(head + kHeadSize), kNameBytes);
        if (bytes <= 0) {
            QLOG(kLogError, "ReadDir cannot convert to multibyte: {}", kHidden);
            platform::EndSearch(search);
            return kErrFailure;
        }
        DirRecordHead h {};
        h.nameLength = static_cast<std::uint32_t>(bytes);
        h.paddingLength = 8 - h.nameLength % 8;
        std::memcpy(head + offsetof(DirRecordHead, nameLength), &h.nameLength, 4);
        std::memcpy(head + offsetof(DirRecordHead, paddingLength), &h.paddingLength, 4);
        std::memset(head + kHeadSize + h.nameLength, 0, h.paddingLength);
        const std::uint32_t record = static_cast<std::uint32_t>(kHeadSize) + h.nameLength + h.paddingLength;
        SetLength(reply, GetLength(reply) + record);
        cursor += record;
        if (!platform::FindNextEntry(search)) {
            const std::uint32_t error = platform::LastError();
            if (error != platform::kErrorNoMoreFiles) {
                QLOG(kLogError, "FindNextFile failed with error: {}", error);
            }
            break;
        }
    }
    platform::EndSearch(search);
    return 0;
}

std::int32_t LocalFS::Write(const std::string& path, const ArgBlock& args, const unsigned char* data,
                            std::size_t dataLength, unsigned char* reply, const std::string& share)
{
    const std::uint64_t handle = args.hostFileHandle;
    std::lock_guard<std::mutex> g(fileLock_);
    unsigned char* payload = Payload(reply, kWriteLength);
    if (!ConvertPath(path, pathBuffer_)) {
        return kErrFailure;
    }
    const auto file = FindRecord(pathBuffer_, handle, share);
    if (!file) {
        QLOG(kLogError, "Can't write to file {}, host fileHandle {}, error: not opened.", kHidden, handle);
        return kErrFailure;
    }
    if (platform::LSeekI64(file->Descriptor(), static_cast<std::int64_t>(args.offset)) == -1) {
        QLOG(kLogError, "File {}, host fileHandle {}, seek before write error: {}", kHidden, handle,
             platform::Errno());
        return kErrFailure;
    }
    const int written = platform::WriteFd(file->Descriptor(), data, static_cast<unsigned>(dataLength));
    if (written < 0) {
        QLOG(kLogError, "File {}, host fileHandle {}, write ret {}, error: {}", kHidden, handle, written,
             platform::Errno());
        return kErrFailure;
    }
    const auto count = static_cast<std::int64_t>(written);
    std::memcpy(payload + 16, &count, sizeof count);
    return 0;
}

std::int32_t LocalFS::Release(const std::string& path, const ArgBlock& args, const std::string& share)
{
    const std::uint64_t handle = args.hostFileHandle;
    std::lock_guard<std::mutex> g(fileLock_);
    if (!ConvertPath(path, pathBuffer_)) {
        return kErrFailure;
    }
    const auto s = openFiles_.find(share);
    const auto f = s == openFiles_.end() ? ShareFilesOpen::iterator{} : s->second.find(OpenFileKey{pathBuffer_, handle});
    if (s == openFiles_.end() || f == s->second.end()) {
        QLOG(kLogError, "Can't release file {}, host fileHandle {}: already released.", kHidden, handle);
        return kErrFailure;
    }
    const std::shared_ptr<OpenFile> file = f->second;
    s->second.erase(f);
    if (file->Descriptor() < 0) {
        QLOG(kLogError, "Can't release file {}, host fileHandle {}: already released.", kHidden, handle);
        return kErrFailure;
    }
    // Never waits: a READ in progress keeps reading through its own descriptor, a queued
    // one sees the record closed.
    if (file->Close() != 0) {
        QLOG(kLogError, "Can't close file {}, host fileHandle {}, guest fileHandle {}, error: {}", kHidden, handle,
             file->Descriptor(), platform::Errno());
    }
    return 0;
}

std::int32_t LocalFS::Rename(const LocalPath& path, const LocalPath& newPath)
{
    std::lock_guard<std::mutex> g(fileLock_);
    if (const std::int32_t r = Prepare(path, pathBuffer_); r != 0) {
        return r;
    }
    // A target through a link does not resolve, as a target outside every share.
    if (const std::int32_t r = Prepare(newPath, newPathBuffer_, kErrAccess); r != 0) {
        return r;
    }
    if (!platform::MovePath(pathBuffer_, newPathBuffer_)) {
        QLOG(kLogError, "Cannot rename file {} to {}, error: {}", kHidden, kHidden, platform::LastError());
        return kErrFailure;
    }
    return 0;
}

std::int32_t LocalFS::Unlink(const LocalPath& path)
{
    std::lock_guard<std::mutex> g(fileLock_);
    if (const std::int32_t r = Prepare(path, pathBuffer_); r != 0) {
        return r;
    }
    if (!platform::DeletePath(pathBuffer_)) {
        const std::uint32_t error = platform::LastError();
        QLOG(kLogError, "Can't remove file {}, error: {}", kHidden, error);
        if (error == platform::kErrorFileNotFound) {
            return kErrNoEntry;
        }
        return error == platform::kErrorAccessDenied ? kErrAccess : kErrFailure;
    }
    return 0;
}

std::int32_t LocalFS::Truncate(const LocalPath& path, const ArgBlock& args)
{
    std::lock_guard<std::mutex> g(fileLock_);
    if (const std::int32_t r = Prepare(path, pathBuffer_); r != 0) {
        return r;
    }
    int fd = -1;
    int err = platform::WSOpenS(fd, pathBuffer_, static_cast<int>(kOpenBinary | kOpenWriteOnly),
                                platform::kShareDenyNone, platform::kPermRead | platform::kPermWrite);
    if (err != 0) {
        QLOG(kLogError, "Can't open file {} for truncation error: {}", kHidden, err);
        return -err;
    }
    err = platform::ChSizeS(fd, static_cast<std::int64_t>(args.offset));
    if (err != 0) {
        QLOG(kLogError, "Can't change size of file {}, error: {}", kHidden, err);
        (void)platform::CloseFd(fd);
        return -err;
    }
    if (platform::CloseFd(fd) != 0) {
        err = platform::Errno();
        QLOG(kLogError, "Can't close truncated file {}, error: {}", kHidden, err);
        return -err;
    }
    return 0;
}

std::int32_t LocalFS::Mkdir(const LocalPath& path)
{
    std::lock_guard<std::mutex> g(fileLock_);
    if (const std::int32_t r = Prepare(path, pathBuffer_); r != 0) {
        return r;
    }
    if (platform::WMkdir(pathBuffer_) != 0) {
        const int err = platform::Errno();
        QLOG(kLogError, "Can't mkdir {}, error: {}", kHidden, err);
        return -err;
    }
    return 0;
}

std::int32_t LocalFS::Rmdir(const LocalPath& path)
{
    std::lock_guard<std::mutex> g(fileLock_);
    if (const std::int32_t r = Prepare(path, pathBuffer_); r != 0) {
        return r;
    }
    if (platform::WRmdir(pathBuffer_) != 0) {
        const int err = platform::Errno();
        QLOG(kLogError, "Can't rmdir {}, error: {}", kHidden, err);
        return -err;
    }
    return 0;
}

void LocalFS::CloseShare(const std::string& share)
{
    std::lock_guard<std::mutex> g(fileLock_);
    const auto s = openFiles_.find(share);
    if (s == openFiles_.end()) {
        return;
    }
    for (auto& [key, file] : s->second) {
        (void)file->Close();
    }
    openFiles_.erase(s);
}

void LocalFS::CloseAll()
{
    std::lock_guard<std::mutex> g(fileLock_);
    for (auto& [share, files] : openFiles_) {
        for (auto& [key, file] : files) {
            (void)file->Close();
        }
    }
    openFiles_.clear();
}

bool LocalFS::HasOpenFiles(const std::string& share)
{
    std::lock_guard<std::mutex> g(fileLock_);
    const auto s = openFiles_.find(share);
    return s != openFiles_.end() && !s->second.empty();
}

}  // namespace quor::fs
