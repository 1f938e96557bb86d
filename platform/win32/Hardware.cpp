#include "platform/Hardware.h"

#include <cpuid.h>
#include <x86intrin.h>

#include <cstring>

#include "platform/win32/WinText.h"

namespace platform::hw {

std::string CpuBrandBytes() {
    std::string brand;
    unsigned top = __get_cpuid_max(0x80000000u, nullptr);
    if (top < 0x80000004u) return brand;
    for (unsigned leaf = 0x80000002u; leaf <= 0x80000004u; ++leaf) {
        unsigned r[4] = {0, 0, 0, 0};
        __cpuid(leaf, r[0], r[1], r[2], r[3]);
        char bytes[16];
        std::memcpy(bytes, r, sizeof bytes);  // each register least significant byte first
        brand.append(bytes, sizeof bytes);
    }
    return brand;
}

uint64_t TimeStampCounter() { return __rdtsc(); }

uint64_t TotalPhysicalMemory() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

RealTimeBoost::RealTimeBoost()
    : FPriorityClass(GetPriorityClass(GetCurrentProcess())), FThreadPriority(GetThreadPriority(GetCurrentThread())) {
    SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

RealTimeBoost::~RealTimeBoost() {
    SetThreadPriority(GetCurrentThread(), FThreadPriority);
    if (FPriorityClass) SetPriorityClass(GetCurrentProcess(), FPriorityClass);
}

uint32_t LogicalDriveMask() { return GetLogicalDrives(); }

uint32_t DriveType(const std::string& root) { return GetDriveTypeW(win::Wide(root).c_str()); }

std::optional<VolumeFacts> VolumeInfo(const std::string& root) {
    wchar_t label[MAX_PATH + 1] = {}, fs[MAX_PATH + 1] = {};
    // A drive without a medium must not bring up the system's "insert a disk" box.
    const UINT old = SetErrorMode(SEM_FAILCRITICALERRORS);
    const BOOL ok = GetVolumeInformationW(win::Wide(root).c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr, fs,
                                          MAX_PATH + 1);
    SetErrorMode(old);
    if (!ok) return std::nullopt;
    return VolumeFacts{win::Utf8(fs), win::Utf8(label)};
}

std::optional<SpaceFacts> DiskSpace(const std::string& root) {
    ULARGE_INTEGER avail{}, total{}, free{};
    if (!GetDiskFreeSpaceExW(win::Wide(root).c_str(), &avail, &total, &free)) return std::nullopt;
    return SpaceFacts{total.QuadPart, free.QuadPart};
}

}  // namespace platform::hw
