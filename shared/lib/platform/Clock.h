// Platform seam: local wall-clock time.
#pragma once

namespace quor::platform {

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};

LocalTime NowLocal();

}  // namespace quor::platform
