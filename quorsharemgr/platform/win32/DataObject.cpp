#include "quorsharemgr/platform/DataObject.h"

#include <cstring>

#include <windows.h>
#include <objidl.h>
#include <shldisp.h>

namespace quor::platform {

namespace {

Guid Of(REFIID iid)
{
    Guid g;
    std::memcpy(&g, &iid, sizeof g);
    return g;
}

class Primary final : public IDataObject {
public:
    DataObjectImpl* impl = nullptr;
    IDataObject* inner = nullptr;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override { return impl->QueryInterface(Of(iid), out); }
    ULONG STDMETHODCALLTYPE AddRef() override { return impl->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return impl->Release(); }
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* f, STGMEDIUM* m) override { return inner->GetData(f, m); }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* f, STGMEDIUM* m) override { return inner->GetDataHere(f, m); }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* f) override { return inner->QueryGetData(f); }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override
    {
        return inner->GetCanonicalFormatEtc(in, out);
    }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC* f, STGMEDIUM* m, BOOL release) override
    {
        return inner->SetData(f, m, release);
    }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC** e) override
    {
        return inner->EnumFormatEtc(direction, e);
    }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* f, DWORD flags, IAdviseSink* sink, DWORD* connection) override
    {
        return inner->DAdvise(f, flags, sink, connection);
    }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD connection) override { return inner->DUnadvise(connection); }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** e) override { return inner->EnumDAdvise(e); }
};

class Secondary final : public IDataObjectAsyncCapability {
public:
    DataObjectImpl* impl = nullptr;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override { return impl->QueryInterface(Of(iid), out); }
    ULONG STDMETHODCALLTYPE AddRef() override { return impl->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return impl->Release(); }
    HRESULT STDMETHODCALLTYPE SetAsyncMode(BOOL mode) override { return impl->SetAsyncMode(mode); }
    HRESULT STDMETHODCALLTYPE GetAsyncMode(BOOL* mode) override
    {
        std::int32_t m = 0;
        const HRESULT hr = impl->GetAsyncMode(&m);
        *mode = m;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE StartOperation(IBindCtx*) override { return impl->StartOperation(); }
    HRESULT STDMETHODCALLTYPE InOperation(BOOL* in) override
    {
        std::int32_t m = 0;
        const HRESULT hr = impl->InOperation(&m);
        *in = m;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE EndOperation(HRESULT result, IBindCtx*, DWORD) override
    {
        return impl->EndOperation(result);
    }
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
    d->primary.inner = static_cast<IDataObject*>(inner);
    d->secondary.impl = impl;
    return d;
}
void FreeDataObjectInterfaces(DataObjectInterfaces* interfaces) { delete interfaces; }
void* PrimaryInterface(DataObjectInterfaces* interfaces) { return static_cast<IDataObject*>(&interfaces->primary); }
void* SecondaryInterface(DataObjectInterfaces* interfaces)
{
    return static_cast<IDataObjectAsyncCapability*>(&interfaces->secondary);
}
std::uint32_t AddRefUnknown(void* unknown) { return static_cast<IUnknown*>(unknown)->AddRef(); }
std::uint32_t ReleaseUnknown(void* unknown) { return static_cast<IUnknown*>(unknown)->Release(); }
std::int32_t QueryUnknown(void* unknown, const Guid& iid, void** out)
{
    IID i;
    std::memcpy(&i, &iid, sizeof i);
    return static_cast<IUnknown*>(unknown)->QueryInterface(i, out);
}

}  // namespace quor::platform
