#include "quorsharemgr/ShareDataObject.h"

#include "quorsharemgr/ShareFormat.h"
#include "shared/lib/platform/WinErrors.h"

namespace quor {

namespace {
std::atomic<int> g_alive{0};
}

ShareDataObject* ShareDataObject::Create(void* inner, std::string shareName, SendShareMessageFn sendShareMessage)
{
    return new ShareDataObject(inner, std::move(shareName), std::move(sendShareMessage));
}

ShareDataObject::ShareDataObject(void* inner, std::string shareName, SendShareMessageFn sendShareMessage)
    : interfaces_(platform::MakeDataObjectInterfaces(this, inner)),
      inner_(inner),
      shareName_(std::move(shareName)),
      sendShareMessage_(std::move(sendShareMessage))
{
    ++g_alive;
}

ShareDataObject::~ShareDataObject()
{
    platform::FreeDataObjectInterfaces(interfaces_);
    --g_alive;
}

int ShareDataObject::Alive() { return g_alive.load(); }

std::int32_t ShareDataObject::QueryInterface(const Guid& iid, void** out)
{
    if (out == nullptr) {
        return platform::kEPointer;
    }
    if (iid == kIidDataObject || iid == kIidUnknown) {
        *out = Primary();
    } else if (iid == kIidDataObjectAsyncCapability) {
        *out = Secondary();
    } else {
        *out = nullptr;
        return platform::kENoInterface;
    }
    AddRef();
    return platform::kSOk;
}

std::uint32_t ShareDataObject::AddRef() { return refCount_.fetch_add(1) + 1; }

std::uint32_t ShareDataObject::Release()
{
    const std::uint32_t n = refCount_.fetch_sub(1) - 1;
    if (n == 0) {
        (void)platform::ReleaseUnknown(inner_);
        if (!shareName_.empty() && sendShareMessage_) {
            sendShareMessage_(shareName_.c_str(), ShareFormatReleaseShareName);
        }
        delete this;
    }
    return n;
}

std::int32_t ShareDataObject::SetAsyncMode(std::int32_t mode)
{
    asyncMode_.store(mode);
    return platform::kSOk;
}

std::int32_t ShareDataObject::GetAsyncMode(std::int32_t* mode)
{
    if (mode == nullptr) {
        return platform::kEPointer;
    }
    *mode = asyncMode_.load();
    return platform::kSOk;
}

std::int32_t ShareDataObject::StartOperation()
{
    // The reference that EndOperation gives back; a second start adds none.
    if (inOperation_.exchange(-1) == 0) {
        AddRef();
    }
    return platform::kSOk;
}

std::int32_t ShareDataObject::InOperation(std::int32_t* inOperation)
{
    if (inOperation == nullptr) {
        return platform::kEPointer;
    }
    *inOperation = inOperation_.load();
    return platform::kSOk;
}

std::int32_t ShareDataObject::EndOperation(std::int32_t)
{
    if (inOperation_.exchange(0) != 0) {
        (void)Release();
    }
    return platform::kSOk;
}

}  // namespace quor
