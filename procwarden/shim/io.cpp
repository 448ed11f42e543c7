// Kernel shim: the I/O manager - opening and closing handles, requests and their completion,
// cancellation.
#include "procwarden/shim/shim_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

using namespace shim::internal;

struct shim::Request::State {
    std::mutex mutex;
    std::condition_variable cv;
    PIRP irp = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PFILE_OBJECT file = nullptr;
    UCHAR majorFunction = 0;
    ULONG outputLength = 0;
    bool completed = false;
    bool markedPending = false;
    bool dispatchReturned = false;
    NTSTATUS dispatchStatus = STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;
    std::thread::id completedBy;
};

namespace shim::internal {
namespace {

std::mutex g_ioMutex;
std::condition_variable g_ioCv;  // a request completed
std::map<PIRP, std::shared_ptr<shim::Request::State>> g_liveIrps;

struct IrpBlock {
    IRP irp;
    IO_STACK_LOCATION stack;
    IO_SECURITY_CONTEXT security;
    ACCESS_STATE accessState;
};

std::shared_ptr<shim::Request::State> NewIrp(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major,
                                              ULONG code, const std::vector<uint8_t>* input,
                                              ULONG outputLength, bool withBuffer) {
    auto state = std::make_shared<shim::Request::State>();
    auto* block = static_cast<IrpBlock*>(std::calloc(1, sizeof(IrpBlock)));
    block->irp.StackCount = 1;
    block->irp.CurrentLocation = 1;
    block->irp.RequestorMode = UserMode;
    block->irp.Tail.Overlay.CurrentStackLocation = &block->stack;
    block->irp.IoStatus.Status = STATUS_PENDING;
    block->stack.MajorFunction = major;
    block->stack.DeviceObject = device;
    block->stack.FileObject = file;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        const ULONG inputLength = input != nullptr ? static_cast<ULONG>(input->size()) : 0;
        block->stack.Parameters.DeviceIoControl.IoControlCode = code;
        block->stack.Parameters.DeviceIoControl.InputBufferLength = withBuffer ? inputLength : 0;
        block->stack.Parameters.DeviceIoControl.OutputBufferLength = withBuffer ? outputLength : 0;
        if (withBuffer) {
            const size_t size = std::max<size_t>(std::max<size_t>(inputLength, outputLength), 1);
            auto* buffer = static_cast<uint8_t*>(std::malloc(size));
            std::memset(buffer, 0xCD, size);
            if (inputLength != 0) std::memcpy(buffer, input->data(), inputLength);
            block->irp.AssociatedIrp.SystemBuffer = buffer;
        }
        state->outputLength = withBuffer ? outputLength : 0;
    }
    state->irp = &block->irp;
    state->device = device;
    state->file = file;
    state->majorFunction = major;
    std::lock_guard<std::mutex> lock(g_ioMutex);
    g_liveIrps[&block->irp] = state;
    return state;
}

IrpBlock* BlockOf(PIRP irp) { return reinterpret_cast<IrpBlock*>(irp); }

NTSTATUS CallDriver(const std::shared_ptr<shim::Request::State>& state, uint64_t process) {
    PDEVICE_OBJECT device = state->device;
    PIRP irp = state->irp;
    const uint64_t previous = CurrentProcess();
    SetCurrentProcess(process);
    const NTSTATUS status = device->DriverObject->MajorFunction[state->majorFunction](device, irp);
    SetCurrentProcess(previous);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->dispatchReturned = true;
    state->dispatchStatus = status;
    if (status != STATUS_PENDING && !state->completed) {
        Fault("dispatch returned a final status without completing the request");
    }
    if (status == STATUS_PENDING && state->completed && !state->markedPending) {
        Fault("dispatch returned STATUS_PENDING for a request it did not mark pending");
    }
    if (status != STATUS_PENDING && state->completed && status != state->status) {
        Fault("dispatch returned a status other than the one it completed with");
    }
    return status;
}

// Runs a request that completes at once (create, cleanup, close) and returns its status.
NTSTATUS CallSynchronously(PFILE_OBJECT file, UCHAR major, const Opener& opener) {
    auto state = NewIrp(file->DeviceObject, file, major, 0, nullptr, 0, false);
    PACCESS_TOKEN token = nullptr;
    if (major == IRP_MJ_CREATE) {
        IrpBlock* block = BlockOf(state->irp);
        token = NewToken(opener.administrator);
        block->accessState.SubjectSecurityContext.PrimaryToken = token;
        block->security.AccessState = &block->accessState;
        block->security.DesiredAccess = FILE_ALL_ACCESS;
        block->stack.Parameters.Create.SecurityContext = &block->security;
    }
    const NTSTATUS dispatched = CallDriver(state, opener.processId);
    shim::Request request(state);
    if (dispatched == STATUS_PENDING) request.Wait(std::chrono::hours(1));
    if (token != nullptr) DeleteToken(token);
    return request.Status();
}

bool Outstanding(PFILE_OBJECT file) {
    for (const auto& [irp, state] : g_liveIrps) {
        if (state->file == file) return true;
    }
    return false;
}

}  // namespace

void ResetIo() {
    std::lock_guard<std::mutex> lock(g_ioMutex);
    for (auto& [irp, state] : g_liveIrps) {
        std::free(irp->AssociatedIrp.SystemBuffer);
        std::free(BlockOf(irp));
    }
    g_liveIrps.clear();
}

}  // namespace shim::internal

bool shim::Request::Wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->cv.wait_for(lock, timeout, [&] { return state_->completed; });
}
bool shim::Request::Completed() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->completed;
}
NTSTATUS shim::Request::Status() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->status;
}
ULONG_PTR shim::Request::Information() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->information;
}
std::vector<uint8_t> shim::Request::Output() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->output;
}
NTSTATUS shim::Request::DispatchStatus() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->dispatchStatus;
}
std::thread::id shim::Request::CompletedBy() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->completedBy;
}

VOID IofCompleteRequest(PIRP irp, CHAR) {
    std::shared_ptr<shim::Request::State> state;
    {
        std::lock_guard<std::mutex> lock(g_ioMutex);
        auto it = g_liveIrps.find(irp);
        if (it == g_liveIrps.end()) {
            Fault("completing a request that is not outstanding (completed twice?)");
            return;
        }
        state = it->second;
        g_liveIrps.erase(it);
    }
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
        Fault("request completed with its cancel routine still set");
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        Fault("request completed with STATUS_PENDING");
    }
    std::vector<uint8_t> output;
    const ULONG_PTR information = irp->IoStatus.Information;
    if (state->majorFunction == IRP_MJ_DEVICE_CONTROL && NT_SUCCESS(irp->IoStatus.Status) &&
        irp->AssociatedIrp.SystemBuffer != nullptr) {
        if (information > state->outputLength) {
            Fault("buffered request completed with more information than the output buffer holds");
        }
        const auto* buffer = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        output.assign(buffer, buffer + std::min<ULONG_PTR>(information, state->outputLength));
    }
    const bool markedPending = (irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED) != 0;
    const NTSTATUS status = irp->IoStatus.Status;

    // The request is gone for the driver from here on: free it so a later touch is a
    // use-after-free the sanitizers report.
    std::free(irp->AssociatedIrp.SystemBuffer);
    std::free(BlockOf(irp));

    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->irp = nullptr;
        state->completed = true;
        state->status = status;
        state->information = information;
        state->output = std::move(output);
        state->markedPending = markedPending;
        state->completedBy = std::this_thread::get_id();
        if (state->dispatchReturned && state->dispatchStatus == STATUS_PENDING && !markedPending) {
            Fault("dispatch returned STATUS_PENDING for a request it did not mark pending");
        }
        state->cv.notify_all();
    }
    std::lock_guard<std::mutex> lock(g_ioMutex);
    g_ioCv.notify_all();
}

namespace shim {

NTSTATUS Open(const std::u16string& name, PFILE_OBJECT* handle, const Opener& opener, const std::u16string& path) {
    *handle = nullptr;
    PDEVICE_OBJECT target = ResolveDevice(name);
    if (target == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!AccessAllowed(target, opener, !path.empty())) return STATUS_ACCESS_DENIED;
    PFILE_OBJECT file = NewFileObject(target, opener, path);
    const NTSTATUS status = CallSynchronously(file, IRP_MJ_CREATE, opener);
    if (!NT_SUCCESS(status)) {
        DeleteFileObject(file);  // a failed create leaves no handle and sends no cleanup or close
        return status;
    }
    *handle = file;
    return status;
}

NTSTATUS Close(PFILE_OBJECT handle) {
    const HandleRecord* record = FindHandle(handle);
    if (record == nullptr) return STATUS_INVALID_HANDLE;
    const Opener opener = record->opener;
    MarkClosed(handle);
    CallSynchronously(handle, IRP_MJ_CLEANUP, opener);
    {
        // Every request still outstanding holds a reference: IRP_MJ_CLOSE waits for the last.
        std::unique_lock<std::mutex> lock(g_ioMutex);
        if (!g_ioCv.wait_for(lock, std::chrono::seconds(10), [&] { return !Outstanding(handle); })) {
            Fault("a request of a closed handle is still outstanding after IRP_MJ_CLEANUP: IRP_MJ_CLOSE never comes");
            return STATUS_PENDING;
        }
    }
    return CallSynchronously(handle, IRP_MJ_CLOSE, opener);
}

RequestPtr DeviceIoControl(PFILE_OBJECT handle, ULONG code, const std::vector<uint8_t>& input, ULONG outputLength) {
    const HandleRecord* record = FindHandle(handle);
    const uint64_t process = record != nullptr ? record->opener.processId : 0;
    auto state = NewIrp(handle->DeviceObject, handle, IRP_MJ_DEVICE_CONTROL, code, &input, outputLength, true);
    CallDriver(state, process);
    return std::make_shared<Request>(state);
}

RequestPtr DeviceIoControlNoBuffer(PFILE_OBJECT handle, ULONG code) {
    const HandleRecord* record = FindHandle(handle);
    const uint64_t process = record != nullptr ? record->opener.processId : 0;
    auto state = NewIrp(handle->DeviceObject, handle, IRP_MJ_DEVICE_CONTROL, code, nullptr, 0, false);
    CallDriver(state, process);
    return std::make_shared<Request>(state);
}

bool Cancel(const RequestPtr& request) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = nullptr;
    PDRIVER_CANCEL routine = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_ioMutex);
        for (auto& [live, state] : g_liveIrps) {
            if (state == request->state()) irp = live;
        }
        if (irp != nullptr) {
            __atomic_store_n(&irp->Cancel.Value, TRUE, __ATOMIC_RELEASE);
            routine = IoSetCancelRoutine(irp, nullptr);
        }
    }
    if (irp == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return false;
    }
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return true;
    }
    PDEVICE_OBJECT device = request->state()->device;
    irp->CancelIrql = irql;
    routine(device, irp);
    if (__atomic_load_n(&g_cancelSpinLock, __ATOMIC_RELAXED) == ThreadToken()) {
        Fault("cancel routine returned without releasing the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    return true;
}

}  // namespace shim
