#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace qz {

// The plain-text inventory report of the workstation. Its line breaks are
// what the guard server shows: CR after the main lines, CR LF inside the
// drive table and the MAC list, LF in the BIOS lines and the disk report.
class TComputerInfo {
public:
    static std::string PrintAllInfo();
    static std::string GetOSLine();
    static std::string GetCPUName();
    static int64_t GetCPUSpeed();
    static int64_t GetRamValue();
    static std::string GetBIOSInfo();
    static std::string GetAllDriveInfo();
    // The management queries run as child jobs (common/ChildJob.h): the agent
    // keeps none of what they load. Registers them once; the program's start
    // calls it before it runs a child's job.
    static void RegisterChildJobs();
};

// The computer's maker, model and serial number, read once through the
// management instrumentation and kept for the life of the process.
class TWMIInfo {
    struct Token {};

public:
    explicit TWMIInfo(Token);
    static std::shared_ptr<TWMIInfo> Instance();
    static void ReleaseInstance();
    std::string ToString() const;
    // The physical disks and video cards; raises when the queries fail or
    // their child does.
    static std::string GetDiskVideocardInfo();

    std::string FManufacturer, FModel, FSerial;

private:
    static std::mutex FLock;
    static std::shared_ptr<TWMIInfo> FInstance;
};

}  // namespace qz
