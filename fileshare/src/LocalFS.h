// The file operations of the file-share protocol on the guest's local file system, the
// table of files the host has open (per share), and the READ channel: READs are queued
// and answered by a worker thread through the virtio-fs device.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "fileshare/src/OpenFile.h"
#include "fileshare/src/OpenFileKey.h"
#include "fileshare/src/ReadJob.h"
#include "shared/lib/VioFsAPI.h"
#include "fileshare/src/WireFormat.h"

namespace quor::fs {

class LocalFS {
public:
    static constexpr std::size_t kPathUnits = 4098;     // path buffer: 4096 converted + "\*"
    static constexpr int kConvertUnits = 4096;          // conversion limit, NUL included
    static constexpr std::uint32_t kTransferHead = 64;  // virtio-fs request header + reply header
    static constexpr std::uint32_t kFileShareReply = 0x800;

    LocalFS();
    ~LocalFS();
    LocalFS(const LocalFS&) = delete;
    LocalFS& operator=(const LocalFS&) = delete;

    bool Init();

    // Per request; `reply` is the 2 MiB reply buffer with its header filled. Each returns
    // the reply's `error`.
    std::int32_t GetAttr(const std::string& path, unsigned char* reply);
    std::int32_t Open(const std::string& path, const ArgBlock& args, bool readOnly, const std::string& share);
    std::int32_t Read(const std::string& path, const ArgBlock& args, const unsigned char* reply,
                      const std::string& share);
    std::int32_t ReadDir(const std::string& path, unsigned char* reply);
    std::int32_t Write(const std::string& path, const ArgBlock& args, const unsigned char* data,
                       std::size_t dataLength, unsigned char* reply, const std::string& share);
    std::int32_t Release(const std::string& path, const ArgBlock& args, const std::string& share);
    std::int32_t Rename(const std::string& path, const std::string& newPath);
    std::int32_t Unlink(const std::string& path);
    std::int32_t Truncate(const std::string& path, const ArgBlock& args);
    std::int32_t Mkdir(const std::string& path);
    std::int32_t Rmdir(const std::string& path);

    // A READ that fails before it reaches a file still gets its answer through the
    // device: `length` 0 and this error.
    void QueueReadFailure(std::uint64_t unique, std::int32_t error);

    void CloseShare(const std::string& share);
    void CloseAll();
    bool HasOpenFiles(const std::string& share);
    // The descriptor recorded for (path, handle) in the share, or -1.
    int FindOpenFile(const std::u16string& path, std::uint64_t hostFileHandle, const std::string& share);

    // Reads up to `size` bytes at `offset`: the count, or a negative value.
    static int ReadAt(int descriptor, std::uint64_t offset, std::uint32_t size, unsigned char* destination);

private:
    using ShareFilesOpen = std::map<OpenFileKey, std::shared_ptr<OpenFile>>;

    void WorkerLoop();
    void Enqueue(ReadJob job);
    bool ConvertPath(const std::string& path, char16_t* buffer);
    std::shared_ptr<OpenFile> FindRecord(const std::u16string& path, std::uint64_t handle, const std::string& share);
    static void CloseRecord(OpenFile& file);

    std::int32_t initialised_ = 0;
    VioFsAPI vioFs_;
    unsigned char* transfer_ = nullptr;
    std::mutex queueLock_;
    std::deque<ReadJob> readQueue_;
    std::atomic<std::int32_t> stop_{0};
    std::thread worker_;
    std::condition_variable queueSignal_;
    char16_t* pathBuffer_ = nullptr;
    char16_t* newPathBuffer_ = nullptr;
    std::uint32_t allocError_ = 0;
    std::mutex fileLock_;
    std::map<std::string, ShareFilesOpen> openFiles_;
};

}  // namespace quor::fs
