#include "fileshare/src/ReadChannel.h"

#include <cstring>

#include "fileshare/src/WireFormat.h"
#include "fileshare/src/platform/FixedMemory.h"
#include "shared/lib/platform/CrtFiles.h"
#include "shared/log/Log.h"

namespace quor::fs {

namespace {
constexpr std::uint32_t kOutSize = sizeof(VioFsOutHeader);
}  // namespace

ReadChannel::~ReadChannel() { Stop(); }

void ReadChannel::Stop()
{
    {
        std::lock_guard<std::mutex> g(queueLock_);
        stop_ = 1;
    }
    queueSignal_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
    {
        std::lock_guard<std::mutex> g(queueLock_);
        readQueue_.clear();
    }
    platform::FreeFixed(transfer_);
    transfer_ = nullptr;
    vioFs_.Close();
}

bool ReadChannel::OpenDevice() { return vioFs_.Init(); }

bool ReadChannel::Start()
{
    transfer_ = static_cast<unsigned char*>(platform::AllocFixed(kBufferSize));
    if (transfer_ == nullptr) {
        QLOG(kLogError, "LocalAlloc buffer failed with error: {}", platform::LastError());
        return false;
    }
    stop_ = 0;
    worker_ = std::thread([this] { WorkerLoop(); });
    return true;
}

bool ReadChannel::Enqueue(ReadJob job)
{
    {
        std::lock_guard<std::mutex> g(queueLock_);
        if (readQueue_.size() >= kQueueLimit) {
            return false;
        }
        readQueue_.push_back(std::move(job));
    }
    queueSignal_.notify_one();
    return true;
}

int ReadChannel::ReadAt(int descriptor, std::uint64_t offset, std::uint32_t size, unsigned char* destination)
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

void ReadChannel::WorkerLoop()
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
                // A file closed since the READ was queued is not read; its read descriptor
                // stays open (and its number taken) as long as this job holds the record.
                const int descriptor = job.file && !job.file->Closed() ? job.file->ReadDescriptor() : -1;
                result = ReadAt(descriptor, job.offset, job.size, transfer_ + kTransferHead);
            }
            length = result >= 0 ? static_cast<std::uint32_t>(result) : 0;
            error = result < 0 ? kErrFailure : 0;
        }
        // The last holder of a released file closes its read descriptor here.
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
