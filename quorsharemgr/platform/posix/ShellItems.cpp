#include "quorsharemgr/platform/ShellItems.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "quorsharemgr/platform/posix/SimCom.h"
#include "shared/lib/platform/SimLayout.h"
#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

namespace {

std::atomic<int> g_liveDataObjects{0};

struct SimIdList {
    std::string path;  // the item's Windows path
};

struct SimFolder {
    std::string path;
};

struct SimEnum {
    std::vector<std::string> items;
    std::size_t next = 0;
};

class ShellDataObject final : public sim::SimUnknown {
public:
    explicit ShellDataObject(std::vector<std::string> items) : items_(std::move(items)) { ++g_liveDataObjects; }
    std::int32_t QueryInterface(const Guid& iid, void** out) override
    {
        if (iid == kIidUnknown || iid == kIidDataObject) {
            AddRef();
            *out = static_cast<sim::SimUnknown*>(this);
            return kSOk;
        }
        *out = nullptr;
        return kENoInterface;
    }
    std::uint32_t AddRef() override { return ++refs_; }
    std::uint32_t Release() override
    {
        const std::uint32_t n = --refs_;
        if (n == 0) {
            delete this;
        }
        return n;
    }
    std::vector<std::string> Items() override { return items_; }

private:
    ~ShellDataObject() override { --g_liveDataObjects; }
    std::atomic<std::uint32_t> refs_{1};
    std::vector<std::string> items_;
};

// Item paths are kept as UTF-8 Windows paths.
std::string Host(const std::string& windowsPath) { return ToHostPath(windowsPath); }

}  // namespace

IdList ILCreateFromPathW(const char16_t* path)
{
    if (sim::FailsAt("Shell.ILCreateFromPathW") || path == nullptr) {
        return nullptr;
    }
    std::error_code ec;
    if (!std::filesystem::exists(sim::HostPathOf(path), ec)) {
        return nullptr;
    }
    return new SimIdList{sim::Utf8Of(path)};
}

void ILFree(IdList list) { delete static_cast<SimIdList*>(list); }

std::int32_t SHBindToObject(IdList list, ShellFolder* folder)
{
    *folder = nullptr;
    if (sim::FailsAt("Shell.SHBindToObject")) {
        return kEFail;
    }
    const auto* l = static_cast<SimIdList*>(list);
    std::error_code ec;
    if (!std::filesystem::is_directory(Host(l->path), ec)) {
        return kENoInterface;
    }
    *folder = new SimFolder{l->path};
    return kSOk;
}

std::int32_t EnumObjects(ShellFolder folder, std::uint32_t, ShellEnum* items)
{
    *items = nullptr;
    if (sim::FailsAt("Shell.EnumObjects")) {
        return kEFail;
    }
    const auto* f = static_cast<SimFolder*>(folder);
    auto* e = new SimEnum;
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(Host(f->path), ec)) {
        names.push_back(entry.path().filename().string());
    }
    if (names.empty()) {
        // An empty folder gives no enumerator, as the shell's network folders do.
        delete e;
        return kSFalse;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        e->items.push_back(f->path + "\\" + n);
    }
    *items = e;
    return kSOk;
}

std::int32_t EnumNext(ShellEnum items, IdList* child)
{
    auto* e = static_cast<SimEnum*>(items);
    if (e->next >= e->items.size()) {
        *child = nullptr;
        return kSFalse;
    }
    *child = new SimIdList{e->items[e->next++]};
    return kSOk;
}

std::int32_t GetUIObjectOf(ShellFolder, WindowHandle, std::uint32_t count, const IdList* children, void** dataObject)
{
    *dataObject = nullptr;
    if (sim::FailsAt("Shell.GetUIObjectOf")) {
        return kEFail;
    }
    std::vector<std::string> items;
    for (std::uint32_t i = 0; i < count; ++i) {
        items.push_back(static_cast<SimIdList*>(children[i])->path);
    }
    *dataObject = static_cast<sim::SimUnknown*>(new ShellDataObject(std::move(items)));
    return kSOk;
}

void ReleaseFolder(ShellFolder folder) { delete static_cast<SimFolder*>(folder); }
void ReleaseEnum(ShellEnum items) { delete static_cast<SimEnum*>(items); }

namespace sim {
int LiveShellDataObjects() { return g_liveDataObjects.load(); }
}  // namespace sim

}  // namespace quor::platform
