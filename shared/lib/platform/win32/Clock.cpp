#include "shared/lib/platform/Clock.h"

#include <windows.h>

namespace quor::platform {

LocalTime NowLocal()
{
    SYSTEMTIME st {};
    ::GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace quor::platform
