#pragma once
// The machine's hardware as the inventory report describes it. Nothing here
// raises: a fact the system can't tell reads as empty, zero or nullopt.
#include <cstdint>
#include <optional>
#include <string>

namespace platform::hw {

// The processor's brand string as the extended identification leaves give
// it: 48 bytes, NULs and padding included.
std::string CpuBrandBytes();
// The processor's time-stamp counter.
uint64_t TimeStampCounter();
// Installed physical memory in bytes.
uint64_t TotalPhysicalMemory();

// Raises the process to the real-time class and the calling thread to
// time-critical for a short measurement; the destructor puts both back.
class RealTimeBoost {
public:
    RealTimeBoost();
    ~RealTimeBoost();
    RealTimeBoost(const RealTimeBoost&) = delete;
    RealTimeBoost& operator=(const RealTimeBoost&) = delete;

private:
    uint32_t FPriorityClass = 0;
    int FThreadPriority = 0;
};

// Drive types as the system numbers them.
constexpr uint32_t DriveUnknown = 0, DriveNoRootDir = 1, DriveRemovable = 2, DriveFixed = 3, DriveRemote = 4,
                   DriveCdRom = 5, DriveRamDisk = 6;
// Bit 0 for a:, bit 1 for b:, ...
uint32_t LogicalDriveMask();
uint32_t DriveType(const std::string& root);  // root as "c:\\"
struct VolumeFacts {
    std::string fileSystem, label;
};
std::optional<VolumeFacts> VolumeInfo(const std::string& root);
struct SpaceFacts {
    uint64_t total = 0, free = 0;
};
std::optional<SpaceFacts> DiskSpace(const std::string& root);

}  // namespace platform::hw
