#pragma once
// Time of day and elapsed time. Nothing here fails.
#include <cstdint>

namespace platform::sys {

// Local wall-clock time as days since 30.12.1899 (the fraction is the time of day).
double NowLocal();
// Milliseconds from an arbitrary start; never goes back.
uint64_t TickCountMs();
void SleepMs(uint32_t ms);

}  // namespace platform::sys
