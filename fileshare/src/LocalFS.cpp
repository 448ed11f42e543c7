#include "fileshare/src/LocalFS.h"

#include <algorithm>
#include <cstring>

#include "shared/log/Log.h"
#include "shared/lib/platform/CrtFiles.h"
#include "fileshare/src/platform/FileApi.h"
#include "fileshare/src/platform/FixedMemory.h"
#include "shared/lib/platform/TextConv.h"
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
constexpr std::uint32_t kOutSize = sizeof(VioFsOutHeader);

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
    {
        std::lock_guard<std::mutex> g(queueLock_);
        stop_ = 1;
    }
    queueSignal_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
    readQueue_.clear();
    // No descriptor outlives the backend.
    CloseAll();
    platform::FreeFixed(transfer_);
    platform::FreeFixed(newPathBuffer_);
    platform::FreeFixed(pathBuffer_);
}

bool LocalFS::Init()
{
    if (initialised_ != 0) {
        QLOG(kLogWarning, "LocalFS already initialised!");
        return true;
    }
    if (!vioFs_.Init()) {
        QLOG(kLogError, "Failed to get VioFs device");
        return false;
    }
    if (pathBuffer_ == nullptr || newPathBuffer_ == nullptr) {
        QLOG(kLogError, "LocalAlloc path buffer failed with error: {}", allocError_);
        return false;
    }
    transfer_ = static_cast<unsigned char*>(platform::AllocFixed(kBufferSize));
    if (transfer_ == nullptr) {
        QLOG(kLogError, "LocalAlloc buffer failed with error: {}", platform::LastError());
        return false;
    }
    stop_ = 0;
    worker_ = std::thread([this] { WorkerLoop(); });
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
    return record ? record->descriptor : -1;
}

void LocalFS::CloseRecord(OpenFile& file)
{
    std::lock_guard<std::mutex> g(file.lock);
    if (!file.closed) {
        file.closed = true;
        (void)platform::CloseFd(file.descriptor);
    }
}

std::int32_t LocalFS::GetAttr(const std::string& path, unsigned char* reply)
{
    std::lock_guard<std::mutex> g(fileLock_);
    unsigned char* payload = Payload(reply, kAttrLength);
    if (!ConvertPath(path, pathBuffer_)) {
        return kErrFailure;
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

std::int32_t LocalFS::Open(const std::string& path, const ArgBlock& args, bool readOnly, const std::string& share)
{
    const auto flags = static_cast<std::uint32_t>(args.flags);
    const std::uint64_t handle = args.hostFileHandle;
    std::lock_guard<std::mutex> g(fileLock_);
    if (!ConvertPath(path, pathBuffer_)) {
        return kErrFailure;
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
    auto& files = openFiles_[share];
    auto& slot = files[OpenFileKey{std::move(wide), handle}];
    if (slot) {
        CloseRecord(*slot);
    }
    slot = std::make_shared<OpenFile>(fd);
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
        job.descriptor = job.file->descriptor;
    }
    Enqueue(std::move(job));
    return 0;
}

void LocalFS::QueueReadFailure(std::uint64_t unique, std::int32_t error)
{
    ReadJob job;
    job.unique = unique;
    job.opcode = FUSE_READ;
    job.error = error < 0 ? error : kErrFailure;
    Enqueue(std::move(job));
}

void LocalFS::Enqueue(ReadJob job)
{
    {
        std::lock_guard<std::mutex> g(queueLock_);
        readQueue_.push_back(std::move(job));
    }
    queueSignal_.notify_one();
}

std::int32_t LocalFS::ReadDir(const std::string& path, unsigned char* reply)
{
    std::lock_guard<std::mutex> g(fileLock_);
    std::memset(reply + sizeof(ReplyHeader), 0, kHeadSize);
    if (!ConvertPath(path, pathBuffer_)) {
        return kErrFailure;
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
    // The worker reads through the same descriptor (and its file position).
    std::lock_guard<std::mutex> fileGuard(file->lock);
    if (platform::LSeekI64(file->descriptor, static_cast<std::int64_t>(args.offset)) == -1) {
        QLOG(kLogError, "File {}, host fileHandle {}, seek before write error: {}", kHidden, handle,
             platform::Errno());
        return kErrFailure;
    }
    const int written = platform::WriteFd(file->descriptor, data, static_cast<unsigned>(dataLength));
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
    if (file->descriptor < 0) {
        QLOG(kLogError, "Can't release file {}, host fileHandle {}: already released.", kHidden, handle);
        return kErrFailure;
    }
    std::lock_guard<std::mutex> fileGuard(file->lock);
    file->closed = true;
    if (platform::CloseFd(file->descriptor) != 0) {
        QLOG(kLogError, "Can't close file {}, host fileHandle {}, guest fileHandle {}, error: {}", kHidden, handle,
             file->descriptor, platform::Errno());
    }
    return 0;
}

std::int32_t LocalFS::Rename(const std::string& path, const std::string& newPath)
{
    std::lock_guard<std::mutex> g(fileLock_);
    if (!ConvertPath(path, pathBuffer_) || !ConvertPath(newPath, newPathBuffer_)) {
        return kErrFailure;
    }
    if (!platform::MovePath(pathBuffer_, newPathBuffer_)) {
        QLOG(kLogError, "Cannot rename file {} to {}, error: {}", kHidden, kHidden, platform::LastError());
        return kErrFailure;
    }
    return 0;
}

std::int32_t LocalFS::Unlink(const std::string& path)
{
    std::lock_guard<std::mutex> g(fileLock_);
    if (!ConvertPath(path, pathBuffer_)) {
        return kErrFailure;
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

std::int32_t LocalFS::Truncate(const std::string& path, const ArgBlock& args)
{
    std::lock_guard<std::mutex> g(fileLock_);
    if (!ConvertPath(path, pathBuffer_)) {
        return kErrFailure;
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

std::int32_t LocalFS::Mkdir(const std::string& path)
{
    std::lock_guard<std::mutex> g(fileLock_);
    if (!ConvertPath(path, pathBuffer_)) {
        return kErrFailure;
    }
    if (platform::WMkdir(pathBuffer_) != 0) {
        const int err = platform::Errno();
        QLOG(kLogError, "Can't mkdir {}, error: {}", kHidden, err);
        return -err;
    }
    return 0;
}

std::int32_t LocalFS::Rmdir(const std::string& path)
{
    std::lock_guard<std::mutex> g(fileLock_);
    if (!ConvertPath(path, pathBuffer_)) {
        return kErrFailure;
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
        CloseRecord(*file);
    }
    openFiles_.erase(s);
}

void LocalFS::CloseAll()
{
    std::lock_guard<std::mutex> g(fileLock_);
    for (auto& [share, files] : openFiles_) {
        for (auto& [key, file] : files) {
            CloseRecord(*file);
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

int LocalFS::ReadAt(int descriptor, std::uint64_t offset, std::uint32_t size, unsigned char* destination)
{
    if (descriptor < 0) {
        QLOG(kLogError, "Failed to read file with error: not opened.");
        return -1;
    }
    if (platform::LSeekI64(descriptor, static_cast<std::int64_t>(offset)) == -1) {
        QLOG(kLogError, "Failed to seek before read error: {}", platform::Errno());
        return -1;
    }
    const int r = platform::ReadFd(descriptor, destination, size);
    if (r < 0) {
        QLOG(kLogError, "Failed to read ret {}, error: {}", r, platform::Errno());
    }
    return r;
}

void LocalFS::WorkerLoop()
{
    while (stop_ == 0) {
        ReadJob job;
        {
            std::unique_lock<std::mutex> l(queueLock_);
            queueSignal_.wait(l, [this] { return stop_ != 0 || !readQueue_.empty(); });
            if (stop_ != 0) {
                break;
            }
            job = std::move(readQueue_.front());
            readQueue_.pop_front();
        }
        std::int32_t error = 0;
        std::uint32_t length = 0;
        if (job.error != 0) {
            error = job.error;
        } else {
            int result = -1;
            if (job.opcode == FUSE_READ) {
                if (job.file) {
                    std::lock_guard<std::mutex> g(job.file->lock);
                    result = ReadAt(job.file->closed ? -1 : job.file->descriptor, job.offset, job.size,
                                    transfer_ + kTransferHead);
                } else {
                    result = ReadAt(-1, job.offset, job.size, transfer_ + kTransferHead);
                }
            }
            length = result >= 0 ? static_cast<std::uint32_t>(result) : 0;
            error = result < 0 ? kErrFailure : 0;
        }
        job.file.reset();
        const std::uint32_t total = length + kTransferHead;
        // The FUSE request header: every byte written, nothing of an earlier request stays.
        std::memset(transfer_, 0, 40);
        std::memcpy(transfer_, &total, 4);
        std::memcpy(transfer_ + 4, &kFileShareReply, 4);
        WriteReplyHeader(transfer_ + 40, job.opcode, job.unique, error, length);
        VioFsOutHeader out {};
        if (!vioFs_.SubmitVioFsRequest(transfer_, total, out)) {
            QLOG(kLogError, "SubmitVioFsRequest failed. Buffer length: {}, ReadOut size: {}", total, kOutSize);
        }
    }
}

}  // namespace quor::fs
