#include "commands/ComputerInfo.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

#include "common/ChildJob.h"
#include "common/Communication.h"
#include "common/Logger.h"
#include "common/Text.h"
#include "monitor/VersionInfo.h"
#include "platform/Clock.h"
#include "platform/Hardware.h"
#include "platform/Registry.h"
#include "platform/SystemInfo.h"
#include "platform/Wmi.h"

namespace qz {

namespace {

using platform::reg::Hive;
using platform::reg::Key;

constexpr const char* Cimv2 = "root\\CIMV2";

std::string RegText(const Key& key, const std::string& name) {
    try {
        if (auto v = platform::reg::QueryValue(key, name)) return v->text;
    } catch (const std::exception&) {
    }
    return {};
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char buffer[1024];
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return std::string(buffer, n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

std::string DriveTypeName(uint32_t type) {
    switch (type) {
        case platform::hw::DriveUnknown: return "?";
        case platform::hw::DriveNoRootDir: return "Path does not exists";
        case platform::hw::DriveRemovable: return "Removable";
        case platform::hw::DriveFixed: return "Fixed";
        case platform::hw::DriveRemote: return "Remote";
        case platform::hw::DriveCdRom: return "CD_ROM";
        case platform::hw::DriveRamDisk: return "RAMDISK";
        default: return "Unknown";
    }
}

// Whole MiB of a byte count (a size that couldn't be read is -1 bytes, so 0Mb).
std::string Mb(int64_t bytes) { return std::to_string(bytes / 1024 / 1024) + "Mb"; }

// One property of the rows (the last row's stands): nullopt when the query
// fails, no value when it answers no rows.
std::optional<std::optional<std::string>> LastValue(const std::string& wql, const std::string& property) {
    auto rows = platform::wmi::Query(Cimv2, wql, {property});
    if (!rows) return std::nullopt;
    std::optional<std::string> value;
    for (const auto& row : *rows) {
        auto it = row.find(property);
        value = it == row.end() ? std::string() : it->second;
    }
    return value;
}

// The general class first; where the instrumentation knows only the
// concrete class (Wine's does), that one, which Windows answers the same.
std::optional<std::string> ClassValue(const char* general, const char* concrete, const std::string& property) {
    auto v = LastValue(std::string("SELECT * FROM ") + general, property);
    if (v && *v) return **v;
    if (auto c = LastValue(std::string("SELECT * FROM ") + concrete, property)) return c->value_or(std::string());
    if (v) return std::string();
    return std::nullopt;
}

constexpr const char* FactsJob = "wmi-facts";
constexpr const char* DisksJob = "wmi-disks";

// The maker, model and serial number, each followed by a NUL.
std::string ReadFacts() {
    auto read = [](const char* general, const char* concrete, const char* property, const char* failure) {
        if (auto v = ClassValue(general, concrete, property)) return *v + '\0';
        TLogger::Fine(std::string(failure) + "the query could not be run");
        return std::string(1, '\0');
    };
    return read("CIM_ComputerSystem", "Win32_ComputerSystem", "Manufacturer", "Error get maufacturer from WMI - ") +
           read("CIM_ComputerSystem", "Win32_ComputerSystem", "Model", "Error get model from WMI - ") +
           read("CIM_BIOSElement", "Win32_BIOS", "SerialNumber", "Error get serial from WMI - ");
}

std::string ReadDisksAndVideocards() {
    auto disks =
        platform::wmi::Query(Cimv2, "SELECT * FROM Win32_DiskDrive", {"Caption", "Model", "FirmwareRevision"});
    if (!disks) throw std::runtime_error("The disk drives could not be queried");
    auto cards = platform::wmi::Query(Cimv2, "SELECT * FROM Win32_VideoController", {"Caption", "DriverVersion"});
    if (!cards) throw std::runtime_error("The video controllers could not be queried");
    std::string out = "Physical Harddisks:\n";
    for (const auto& row : *disks) {
        auto get = [&](const char* name) {
            auto it = row.find(name);
            return it == row.end() ? std::string() : it->second;
        };
        const std::string firmware = get("FirmwareRevision");
        // Windows names a disk by its caption, which is its model; some systems give the model alone.
        const std::string caption = row.count("Caption") ? get("Caption") : get("Model");
        out += firmware.empty() ? caption + "\n" : caption + " (Firmware - " + firmware + ")\n";
    }
    out += "\nVideocards:\n";
    for (const auto& row : *cards) {
        auto caption = row.find("Caption"), driver = row.find("DriverVersion");
        if (caption == row.end() || driver == row.end()) continue;
        out += caption->second + " (Driver Version - " + driver->second + ")\n";
    }
    return out;
}

}  // namespace

void TComputerInfo::RegisterChildJobs() {
    static std::once_flag once;
    std::call_once(once, [] {
        TChildJobs::Register(FactsJob, &ReadFacts);
        TChildJobs::Register(DisksJob, &ReadDisksAndVideocards);
    });
}

std::string TComputerInfo::GetOSLine() {
    std::string product =
        RegText(Key{Hive::LocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"}, "ProductName");
    const platform::sys::OsVersion v = platform::sys::GetOsVersion();
    // Windows 11 kept "Windows 10" in its product name; only its build, 22000
    // and later, tells them apart.
    const std::string::size_type ten = product.find("Windows 10");
    if (v.major == 10 && v.build >= 22000 && ten != std::string::npos) product.replace(ten, 10, "Windows 11");
    std::string edition = "32-bit Edition";
    if (v.major >= 6 || (v.major == 5 && v.minor >= 1)) {
        if (platform::sys::NativeProcessorArchitecture() == platform::sys::ProcessorArchitectureAmd64)
            edition = "64-bit Edition";
    }
    if (v.servicePackMajor != 0)
        return Printf("%s Service Pack %u (Version %u.%u, Build %u, %s)", product.c_str(), v.servicePackMajor,
                      v.major, v.minor, v.build, edition.c_str());
    return Printf("%s (Version %u.%u, Build %u, %s)", product.c_str(), v.major, v.minor, v.build, edition.c_str());
}

std::string TComputerInfo::GetCPUName() {
    std::string name;
    for (char c : platform::hw::CpuBrandBytes())
        if (c != '\0') name += c;
    return name;
}

int64_t TComputerInfo::GetCPUSpeed() {
    uint64_t first = 0, second = 0;
    {
        platform::hw::RealTimeBoost boost;
        platform::sys::SleepMs(10);
        first = platform::hw::TimeStampCounter();
        platform::sys::SleepMs(150);
        second = platform::hw::TimeStampCounter();
    }
    const uint32_t diff = static_cast<uint32_t>(second - first);
    return std::llround(diff / 150000.0);
}

int64_t TComputerInfo::GetRamValue() {
    return static_cast<int64_t>(platform::hw::TotalPhysicalMemory() / 1048576);
}

std::string TComputerInfo::GetBIOSInfo() {
    const Key bios{Hive::LocalMachine, "HARDWARE\\DESCRIPTION\\System\\BIOS"};
    const std::string line = Trim(RegText(bios, "BIOSVendor") + " " + RegText(bios, "BIOSVersion") + " " +
                                  RegText(bios, "BIOSReleaseDate"));
    if (!line.empty()) return "BIOS Version: " + line + "\n";
    const Key system{Hive::LocalMachine, "HARDWARE\\DESCRIPTION\\System"};
    std::string out = "BIOS Date: " + RegText(system, "SystemBiosDate");
    std::optional<platform::reg::Value> multi;
    try {
        multi = platform::reg::QueryValue(system, "SystemBiosVersion");
    } catch (const std::exception&) {
    }
    if (!multi) return out;
    out += "\nBIOS Version: ";
    // 16-bit characters; anything below a blank ends a line.
    const auto& bytes = multi->bytes;
    const size_t n = std::min<size_t>(bytes.size(), 10000) / 2;
    std::u16string lineText;
    auto flush = [&] {
        if (!lineText.empty()) out += Utf16ToUtf8(lineText) + "\r\n";
        lineText.clear();
    };
    for (size_t i = 0; i < n; ++i) {
        const char16_t c = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        if (c < 32)
            flush();
        else
            lineText += c;
    }
    flush();
    return out;
}

std::string TComputerInfo::GetAllDriveInfo() {
    try {
        std::string out = "Logical Drives:\r\n";
        out += "Letter Type       FileSystem Label       Capacity   Available \r\n";
        out += std::string(62, '-') + "\r\n";
        const uint32_t mask = platform::hw::LogicalDriveMask();
        for (int i = 0; i < 26; ++i) {
            if (!(mask & (1u << i))) continue;
            const std::string letter = std::string(1, static_cast<char>('a' + i)) + ":";
            const uint32_t type = platform::hw::DriveType(letter + "\\");
            std::string line = Printf("%-6s %-10s", letter.c_str(), DriveTypeName(type).c_str());
            if (type == platform::hw::DriveFixed) {
                const auto volume = platform::hw::VolumeInfo(letter + "\\").value_or(platform::hw::VolumeFacts{});
                const auto space = platform::hw::DiskSpace(letter + "\\");
                line += Printf(" %-10s %-11s %10s %10s", volume.fileSystem.c_str(), volume.label.c_str(),
                               Mb(space ? static_cast<int64_t>(space->total) : -1).c_str(),
                               Mb(space ? static_cast<int64_t>(space->free) : -1).c_str());
            }
            out += line + "\r\n";
        }
        return out;
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("Error processing logical disks ") + e.what());
        return {};
    }
}

std::string TComputerInfo::PrintAllInfo() {
    std::string out = "Tallisto Client Version: " + TrpVersionInfo().FileVersion() + "\r";
    out += GetOSLine() + "\r";
    out += "Processor: " + GetCPUName() + "\r";
    out += "Frequency: ~" + std::to_string(GetCPUSpeed()) + " MHz\r";
    out += "RAM: ~" + std::to_string(GetRamValue()) + " Mb\r";
    out += GetBIOSInfo();
    out += GetAllDriveInfo() + "\r";
    out += "Mac Address(es):\r";
    std::vector<std::string> macs;
    GetPhysicalAdapterMacs(macs);
    for (const auto& m : macs) out += m + "\r\n";
    out += "\r";
    out += TWMIInfo::Instance()->ToString();
    return out;
}

std::mutex TWMIInfo::FLock;
std::shared_ptr<TWMIInfo> TWMIInfo::FInstance;

TWMIInfo::TWMIInfo(Token) {
    TComputerInfo::RegisterChildJobs();
    // A child that failed has said so in the log; the fields stay empty.
    const std::optional<std::string> facts = TChildJobs::Call(FactsJob);
    if (!facts) return;
    std::string* fields[] = {&FManufacturer, &FModel, &FSerial};
    size_t at = 0;
    for (std::string* field : fields) {
        const size_t end = facts->find('\0', at);
        if (end == std::string::npos) break;
        *field = facts->substr(at, end - at);
        at = end + 1;
    }
}

// Two request threads may ask at once: the first creates, the other waits.
std::shared_ptr<TWMIInfo> TWMIInfo::Instance() {
    std::lock_guard<std::mutex> hold(FLock);
    if (!FInstance) FInstance = std::make_shared<TWMIInfo>(Token{});
    return FInstance;
}

void TWMIInfo::ReleaseInstance() {
    std::lock_guard<std::mutex> hold(FLock);
    FInstance.reset();
}

std::string TWMIInfo::ToString() const {
    return "Manufacturer: " + FManufacturer + "\rModel: " + FModel + "\rSerial: " + FSerial;
}

std::string TWMIInfo::GetDiskVideocardInfo() {
    TComputerInfo::RegisterChildJobs();
    if (auto text = TChildJobs::Call(DisksJob)) return *text;
    throw std::runtime_error("The disk and video card queries' child failed");
}

}  // namespace qz
