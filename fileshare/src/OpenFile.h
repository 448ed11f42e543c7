#pragma once

#include <atomic>
#include <cstdint>

namespace quor::fs {

// One file the host has open. The open-file table holds the record, and so does every
// queued READ of it (shared ownership); nobody holds a lock on it while a file is read.
//
//   descriptor      serves WRITE on the serving thread (under the backend's file lock)
//                   and is closed at once by RELEASE, CloseShare or CloseAll (Close).
//   readDescriptor  a second descriptor of the same open file with a file position of its
//                   own, used by the read worker only; closed when the last holder lets
//                   go of the record, so its number cannot be reused while a READ may
//                   still read through it. -1 when the host opened the file write-only.
//   closed          set by Close: a READ that the worker takes after that answers -1
//                   without reading.
//
// A WRITE and a READ of the same file therefore never share a file position, and
// closing a file never waits for a read in progress.
class OpenFile {
public:
    OpenFile(int descriptor, int readDescriptor, std::uint64_t hostFileHandle)
        : descriptor_(descriptor), readDescriptor_(readDescriptor), hostFileHandle_(hostFileHandle)
    {
    }
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    int Descriptor() const { return descriptor_; }
    int ReadDescriptor() const { return readDescriptor_; }
    std::uint64_t HostFileHandle() const { return hostFileHandle_; }
    bool Closed() const { return closed_.load(); }
    // Marks the record closed and closes `descriptor`: 0, or -1 with the runtime's errno
    // (platform::Errno()). A second call does nothing and returns 0.
    int Close();

private:
    const int descriptor_;
    const int readDescriptor_;
    const std::uint64_t hostFileHandle_;
    std::atomic<bool> closed_{false};
};

}  // namespace quor::fs
