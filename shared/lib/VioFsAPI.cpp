#include "shared/lib/VioFsAPI.h"

#include "shared/log/Log.h"

namespace quor {

namespace {
constexpr std::uint32_t kOutSize = sizeof(VioFsOutHeader);
}

VioFsAPI::~VioFsAPI() { Close(); }

void VioFsAPI::Close()
{
    if (device_ != platform::kInvalidFsDevice) {
        platform::CloseFsDevice(device_);
        device_ = platform::kInvalidFsDevice;
    }
    initialised_ = 0;
}

bool VioFsAPI::Init()
{
    if (initialised_ != 0) {
        QLOG(kLogWarning, "VioFsAPI already initialised!");
        return true;
    }
    if (!Discover() || device_ == platform::kInvalidFsDevice) {
        QLOG(kLogError, "Failed to get VioFs handle");
        return false;
    }
    initialised_ = 1;
    return true;
}

bool VioFsAPI::Discover()
{
    platform::FsDevInfoSet* set = platform::GetVirtioFsClassDevs();
    if (set == nullptr) {
        QLOG(kLogError, "Cannot get class devices.");
        return false;
    }
    for (std::uint32_t i = 0; i < kMaxInterfaces; ++i) {
        std::u16string path;
        const platform::FsInterfaceResult r = platform::GetVirtioFsInterface(set, i, path);
        if (r == platform::FsInterfaceResult::Missing) {
            continue;
        }
        if (r == platform::FsInterfaceResult::DetailFailed) {
            QLOG(kLogError, "Cannot get device interface details with error: {}", platform::LastError());
            continue;
        }
        device_ = platform::OpenFsDevice(path);
        if (device_ != platform::kInvalidFsDevice) {
            break;
        }
    }
    if (!platform::DestroyFsClassDevs(set)) {
        QLOG(kLogError, "SetupDiDestroyDeviceInfoList failed: {}", platform::LastError());
    }
    return true;
}

bool VioFsAPI::SubmitVioFsRequest(const void* in, std::uint32_t inLength, VioFsOutHeader& out)
{
    std::uint32_t returned = 0;
    if (!platform::FsDeviceControl(device_, in, inLength, &out, kOutSize, returned)) {
        QLOG(kLogError, "Failed to DeviceIoControl with error: {}", platform::LastError());
        return false;
    }
    if (returned < kOutSize) {
        QLOG(kLogError, "Bytes Returned: {}, less than: {}", returned, kOutSize);
        return false;
    }
    if (returned != out.length) {
        QLOG(kLogError, "Mismatch in Bytes Returned, Actual: {}, Expected: {}", returned, out.length);
    }
    if (out.error < 0) {
        QLOG(kLogError, "Return error: {}", out.error);
        return false;
    }
    return true;
}

}  // namespace quor
