// The READ channel of the file-share backend: READs wait in a bounded queue and one worker
// thread reads each file and hands the data, as a file-share reply, to the virtio-fs
// device.
//
// States: closed (no device) -> device open (OpenDevice) -> running (Start: transfer
// buffer allocated, worker started) -> stopped (Stop or the destructor: stop set, worker
// joined, queued jobs dropped unanswered, device closed) -> device open again (OpenDevice).
//
// Threads: Enqueue from the serving thread (under the backend's file lock, which is
// always taken before the queue lock); the worker takes jobs under the queue lock and
// reads and submits with no lock held. The transfer buffer is the worker's alone.
//
// The queue holds at most kQueueLimit jobs besides the one the worker has taken: a
// stalled device must not make it grow without end (each job also keeps its file open).
// Enqueue refuses a job beyond that bound; the caller then answers the READ itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "fileshare/src/ReadJob.h"
#include "shared/lib/VioFsAPI.h"

namespace quor::fs {

class ReadChannel {
public:
    static constexpr std::size_t kQueueLimit = 256;
    static constexpr std::uint32_t kTransferHead = 64;  // virtio-fs request header + reply header
    static constexpr std::uint32_t kFileShareReply = 0x800;

    ReadChannel() = default;
    ~ReadChannel();
    ReadChannel(const ReadChannel&) = delete;
    ReadChannel& operator=(const ReadChannel&) = delete;

    // Opens the virtio-fs device (again after a failure; a no-op once open).
    bool OpenDevice();
    // Allocates the transfer buffer and starts the worker; false (logged) when the buffer
    // cannot be allocated.
    bool Start();
    // Stops the worker (queued jobs are dropped unanswered), frees the transfer buffer and
    // closes the device; OpenDevice and Start may follow.
    void Stop();
    // Appends a job and wakes the worker; false when kQueueLimit jobs already wait.
    bool Enqueue(ReadJob job);

    // Reads up to `size` bytes at `offset`: the count, or a negative value.
    static int ReadAt(int descriptor, std::uint64_t offset, std::uint32_t size, unsigned char* destination);

private:
    void WorkerLoop();

    VioFsAPI vioFs_;
    unsigned char* transfer_ = nullptr;
    std::mutex queueLock_;
    std::deque<ReadJob> readQueue_;
    std::atomic<std::int32_t> stop_{0};
    std::thread worker_;
    std::condition_variable queueSignal_;
};

}  // namespace quor::fs
