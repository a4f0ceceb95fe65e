#include "Locale.h"

namespace deruzera::platform {

TLocalTimes LocalTimes() {
    static const TLocalZone zone;
    return TLocalTimes(&zone, TimeSeparator());
}

}  // namespace deruzera::platform
