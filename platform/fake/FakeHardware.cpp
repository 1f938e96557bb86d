#include "platform/Clock.h"
#include "platform/Hardware.h"
#include "platform/fake/FakeWorld.h"

namespace platform::hw {

using fake::Locked;

std::string CpuBrandBytes() { return Locked()->cpuBrand; }

// The counter follows the clock's ticks, so a measurement over the fake's
// (virtual) sleep reads the staged speed.
uint64_t TimeStampCounter() {
    const uint64_t mhz = Locked()->cpuMhz;
    return sys::TickCountMs() * mhz * 1000;
}

uint64_t TotalPhysicalMemory() { return Locked()->physicalMemory; }

RealTimeBoost::RealTimeBoost() {
    Locked w;
    ++w->realTimeBoosts;
    ++w->realTimeBoostsTaken;
}
RealTimeBoost::~RealTimeBoost() { --Locked()->realTimeBoosts; }

uint32_t LogicalDriveMask() {
    uint32_t mask = 0;
    for (const auto& [letter, drive] : Locked()->drives)
        if (letter >= 'a' && letter <= 'z') mask |= 1u << (letter - 'a');
    return mask;
}

namespace {
const fake::FakeDrive* Find(fake::World& w, const std::string& root) {
    if (root.empty()) return nullptr;
    auto it = w.drives.find(static_cast<char>(root[0] | 0x20));
    return it == w.drives.end() ? nullptr : &it->second;
}
}  // namespace

uint32_t DriveType(const std::string& root) {
    Locked w;
    const fake::FakeDrive* d = Find(*w, root);
    return d ? d->type : DriveNoRootDir;
}

std::optional<VolumeFacts> VolumeInfo(const std::string& root) {
    Locked w;
    const fake::FakeDrive* d = Find(*w, root);
    return d ? d->volume : std::nullopt;
}

std::optional<SpaceFacts> DiskSpace(const std::string& root) {
    Locked w;
    const fake::FakeDrive* d = Find(*w, root);
    return d ? d->space : std::nullopt;
}

}  // namespace platform::hw
