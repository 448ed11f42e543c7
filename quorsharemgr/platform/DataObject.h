// Platform seam: the two COM interface tables of one data object (IDataObject first,
// IDataObjectAsyncCapability second) over a portable implementation that keeps the one
// reference count. The nine IDataObject data methods go straight to the wrapped `inner`
// object; IUnknown and the asynchronous-capability methods go to the implementation.
// win32: C++ classes derived from the system's interfaces. posix: the simulated
// desktop's COM objects (docs/simulation.md).
#pragma once

#include <cstdint>

#include "quorsharemgr/DeviceBroadcast.h"

namespace quor::platform {

class DataObjectImpl {
public:
    virtual std::int32_t QueryInterface(const Guid& iid, void** out) = 0;
    virtual std::uint32_t AddRef() = 0;
    virtual std::uint32_t Release() = 0;
    virtual std::int32_t SetAsyncMode(std::int32_t mode) = 0;
    virtual std::int32_t GetAsyncMode(std::int32_t* mode) = 0;
    virtual std::int32_t StartOperation() = 0;
    virtual std::int32_t InOperation(std::int32_t* inOperation) = 0;
    virtual std::int32_t EndOperation(std::int32_t result) = 0;

protected:
    ~DataObjectImpl() = default;
};

struct DataObjectInterfaces;

DataObjectInterfaces* MakeDataObjectInterfaces(DataObjectImpl* impl, void* inner);
void FreeDataObjectInterfaces(DataObjectInterfaces* interfaces);
void* PrimaryInterface(DataObjectInterfaces* interfaces);
void* SecondaryInterface(DataObjectInterfaces* interfaces);
// IUnknown::AddRef / Release of any interface pointer.
std::uint32_t AddRefUnknown(void* unknown);
std::uint32_t ReleaseUnknown(void* unknown);
// IUnknown::QueryInterface of any interface pointer.
std::int32_t QueryUnknown(void* unknown, const Guid& iid, void** out);

}  // namespace quor::platform
