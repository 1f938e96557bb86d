#include "platform/Clock.h"

#include "platform/DateTime.h"
#include "platform/win32/WinText.h"

namespace platform::sys {

double NowLocal() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return qz::EncodeDateTime({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds});
}

uint64_t TickCountMs() { return GetTickCount64(); }

void SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace platform::sys
