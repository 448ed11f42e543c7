// The file operations of the file-share protocol on the guest's local file system, and
// the table of files the host has open (per share). READs are handed to the READ channel
// (ReadChannel), whose worker answers them through the virtio-fs device.
//
// Threads: every operation runs on the serving thread under the server's lock, except
// HasOpenFiles and CloseShare, which the folders manager's clean-up also calls (under the
// server's lock too). The read worker lives in ReadChannel and never touches this
// object's state: it reads through the OpenFile record that its job holds.
//
// Lock order (outer first; never taken the other way round):
//   1. the server's lock (FuseServer)
//   2. fileLock_: the path buffers and the open-file table
//   3. the READ channel's queue lock (taken by Read inside fileLock_)
// No lock is held while a file is read: RELEASE, WRITE, CloseShare and CloseAll never
// wait for a read in progress (see OpenFile).
//
// Links: below an exported entry (the file or folder the user chose, taken as given) no
// symbolic link, junction or other reparse point is followed: a path through one does
// not resolve (-2; -13 as the target of a rename), though a listing shows its name.
// Each component is checked before the operation; the host cannot make links, so only
// a local program racing the check could slip one in.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "fileshare/src/OpenFile.h"
#include "fileshare/src/OpenFileKey.h"
#include "fileshare/src/ReadChannel.h"
#include "fileshare/src/WireFormat.h"

namespace quor::fs {

// A local path and how many of its last components lie below the exported entry: those
// are checked for links. A plain string has none below (it is taken as given).
struct LocalPath {
    LocalPath(const std::string& p, std::uint32_t below = 0) : path(p), componentsBelow(below) {}
    const std::string& path;
    std::uint32_t componentsBelow;
};

class LocalFS {
public:
    static constexpr std::size_t kPathUnits = 4098;  // path buffer: 4096 converted + "\*"
    static constexpr int kConvertUnits = 4096;       // conversion limit, NUL included

    LocalFS();
    ~LocalFS();
    LocalFS(const LocalFS&) = delete;
    LocalFS& operator=(const LocalFS&) = delete;

    bool Init();
    // Closes every open file and the READ channel with its device; Init may follow.
    void Stop();

    // Per request; `reply` is the 2 MiB reply buffer with its header filled. Each returns
    // the reply's `error`.
    std::int32_t GetAttr(const LocalPath& path, unsigned char* reply);
    std::int32_t Open(const LocalPath& path, const ArgBlock& args, bool readOnly, const std::string& share);
    // 0 when the READ is queued (its answer comes through the device); -1 when the READ
    // channel's queue is full, and the caller answers it.
    std::int32_t Read(const std::string& path, const ArgBlock& args, const unsigned char* reply,
                      const std::string& share);
    std::int32_t ReadDir(const LocalPath& path, unsigned char* reply);
    std::int32_t Write(const std::string& path, const ArgBlock& args, const unsigned char* data,
                       std::size_t dataLength, unsigned char* reply, const std::string& share);
    std::int32_t Release(const std::string& path, const ArgBlock& args, const std::string& share);
    std::int32_t Rename(const LocalPath& path, const LocalPath& newPath);
    std::int32_t Unlink(const LocalPath& path);
    std::int32_t Truncate(const LocalPath& path, const ArgBlock& args);
    std::int32_t Mkdir(const LocalPath& path);
    std::int32_t Rmdir(const LocalPath& path);

    // A READ that fails before it reaches a file still gets its answer through the
    // device: `length` 0 and this error. False when the queue is full (nothing queued).
    bool QueueReadFailure(std::uint64_t unique, std::int32_t error);

    void CloseShare(const std::string& share);
    void CloseAll();
    bool HasOpenFiles(const std::string& share);
    // The descriptor recorded for (path, handle) in the share, or -1.
    int FindOpenFile(const std::u16string& path, std::uint64_t hostFileHandle, const std::string& share);

private:
    using ShareFilesOpen = std::map<OpenFileKey, std::shared_ptr<OpenFile>>;

    bool ConvertPath(const std::string& path, char16_t* buffer);
    // Converts `path` into `buffer` and checks the components below its exported entry:
    // 0, -1 when it cannot be converted, or `linkError` when it leads through a link.
    std::int32_t Prepare(const LocalPath& path, char16_t* buffer, std::int32_t linkError = kErrNoEntry);
    static bool LeadsThroughLink(char16_t* widePath, std::uint32_t componentsBelow);
    std::shared_ptr<OpenFile> FindRecord(const std::u16string& path, std::uint64_t handle, const std::string& share);

    std::int32_t initialised_ = 0;
    char16_t* pathBuffer_ = nullptr;
    char16_t* newPathBuffer_ = nullptr;
    std::uint32_t allocError_ = 0;
    std::mutex fileLock_;
    std::map<std::string, ShareFilesOpen> openFiles_;
    // Last: destroyed first, so that the worker has ended before the table goes.
    ReadChannel reads_;
};

}  // namespace quor::fs
