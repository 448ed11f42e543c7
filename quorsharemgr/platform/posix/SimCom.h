// The simulated desktop's COM objects (posix only): every interface pointer the posix
// seams hand out is a SimUnknown. The shell's data object answers Items() with the
// Windows paths of its shell items (what a consumer reads from its ID-list format); a
// wrapper forwards Items() to the object it wraps. The OLE clipboard's object is reached
// through HeldObject.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorsharemgr/DeviceBroadcast.h"

namespace quor::platform::sim {

class SimUnknown {
public:
    virtual std::int32_t QueryInterface(const Guid& iid, void** out) = 0;
    virtual std::uint32_t AddRef() = 0;
    virtual std::uint32_t Release() = 0;
    virtual std::vector<std::string> Items() { return {}; }

protected:
    virtual ~SimUnknown() = default;
};

// The object the OLE clipboard holds a reference to (null when none), with a reference
// added for the caller.
SimUnknown* HeldObject();
// Shell data objects alive (made by GetUIObjectOf and not yet released to 0).
int LiveShellDataObjects();
// Called by the simulated clipboard when an opener other than OLE emptied it.
void OleClipboardReplaced();
// The window handle OLE opens the clipboard with.
inline constexpr std::uintptr_t kOleClipboardWindow = 0x0E1E0;

}  // namespace quor::platform::sim
