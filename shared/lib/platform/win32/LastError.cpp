#include "shared/lib/platform/LastError.h"

#include <windows.h>

namespace quor::platform {

std::uint32_t LastError() { return ::GetLastError(); }

}  // namespace quor::platform
