#include "quorsharemgr/platform/DataObject.h"

#include "quorsharemgr/platform/posix/SimCom.h"

namespace quor::platform {

namespace {

class Primary final : public sim::SimUnknown {
public:
    DataObjectImpl* impl = nullptr;
    sim::SimUnknown* inner = nullptr;
    std::int32_t QueryInterface(const Guid& iid, void** out) override { return impl->QueryInterface(iid, out); }
    std::uint32_t AddRef() override { return impl->AddRef(); }
    std::uint32_t Release() override { return impl->Release(); }
    std::vector<std::string> Items() override { return inner->Items(); }
};

class Secondary final : public sim::SimUnknown {
public:
    DataObjectImpl* impl = nullptr;
    std::int32_t QueryInterface(const Guid& iid, void** out) override { return impl->QueryInterface(iid, out); }
    std::uint32_t AddRef() override { return impl->AddRef(); }
    std::uint32_t Release() override { return impl->Release(); }
};

}  // namespace

struct DataObjectInterfaces {
    Primary primary;
    Secondary secondary;
};

DataObjectInterfaces* MakeDataObjectInterfaces(DataObjectImpl* impl, void* inner)
{
    auto* d = new DataObjectInterfaces;
    d->primary.impl = impl;
    d->primary.inner = static_cast<sim::SimUnknown*>(inner);
    d->secondary.impl = impl;
    return d;
}
void FreeDataObjectInterfaces(DataObjectInterfaces* interfaces) { delete interfaces; }
void* PrimaryInterface(DataObjectInterfaces* interfaces)
{
    return static_cast<sim::SimUnknown*>(&interfaces->primary);
}
void* SecondaryInterface(DataObjectInterfaces* interfaces)
{
    return static_cast<sim::SimUnknown*>(&interfaces->secondary);
}
std::uint32_t AddRefUnknown(void* unknown) { return static_cast<sim::SimUnknown*>(unknown)->AddRef(); }
std::uint32_t ReleaseUnknown(void* unknown) { return static_cast<sim::SimUnknown*>(unknown)->Release(); }
std::int32_t QueryUnknown(void* unknown, const Guid& iid, void** out)
{
    return static_cast<sim::SimUnknown*>(unknown)->QueryInterface(iid, out);
}

}  // namespace quor::platform
