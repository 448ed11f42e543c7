// The data object placed on the OLE clipboard for files the host offers: the shell's data
// object for the `\\Velt\<share>` items, wrapped so that the host hears when the guest no
// longer uses the share. One object, two interfaces (IDataObject, and
// IDataObjectAsyncCapability), one reference count.
//
// Lifetime: created with one reference; the OLE clipboard and every consumer hold their
// own. An asynchronous extraction holds one more from StartOperation to EndOperation
// (a second EndOperation gives nothing back), so the object and its inner data object
// live until the last holder lets go. The last Release releases the inner object, sends
// ReleaseShareName once, and destroys the object, on whichever thread it happens.
// Threads: the count is atomic; the asynchronous state is atomic; nothing else changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "quorsharemgr/ShareSendProcess.h"
#include "quorsharemgr/platform/DataObject.h"

namespace quor {

class ShareDataObject final : public platform::DataObjectImpl {
public:
    // Takes over one reference of `inner`.
    static ShareDataObject* Create(void* inner, std::string shareName, SendShareMessageFn sendShareMessage);

    void* Primary() { return platform::PrimaryInterface(interfaces_); }
    void* Secondary() { return platform::SecondaryInterface(interfaces_); }

    std::int32_t QueryInterface(const Guid& iid, void** out) override;
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;
    std::int32_t SetAsyncMode(std::int32_t mode) override;
    std::int32_t GetAsyncMode(std::int32_t* mode) override;
    std::int32_t StartOperation() override;
    std::int32_t InOperation(std::int32_t* inOperation) override;
    std::int32_t EndOperation(std::int32_t result) override;

    // Objects alive in the process (for tests of the balance).
    static int Alive();

private:
    ShareDataObject(void* inner, std::string shareName, SendShareMessageFn sendShareMessage);
    ~ShareDataObject();

    platform::DataObjectInterfaces* interfaces_;
    void* inner_;
    std::atomic<std::uint32_t> refCount_{1};
    std::atomic<std::int32_t> inOperation_{0};
    std::atomic<std::int32_t> asyncMode_{-1};
    std::string shareName_;
    SendShareMessageFn sendShareMessage_;
};

}  // namespace quor
