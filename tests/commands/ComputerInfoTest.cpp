#include "commands/ComputerInfo.h"

#include "common/ChildJob.h"
#include "platform/Registry.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using namespace std::string_literals;
using platform::reg::Hive;
using platform::reg::Key;

namespace {

class ComputerInfo : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        TWMIInfo::ReleaseInstance();
        W().virtualSleep = true;
        W().versionStrings[W().modulePath]["FileVersion"] = "3.1.0.7";
        platform::reg::SetString(Key{Hive::LocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"},
                                 "ProductName", "Windows 10 Pro");
        W().cpuBrand = std::string("  Fake") + std::string(3, '\0') + " CPU 3.00GHz" + std::string(27, '\0');
        W().cpuMhz = 2995;
        W().physicalMemory = (8ull << 30) + 1000;
    }
    void TearDown() override {
        TWMIInfo::ReleaseInstance();
        PlatformTest::TearDown();
    }
    void StageWmi(const std::string& query, std::vector<std::map<std::string, std::string>> rows) {
        W().wmiTables["root\\CIMV2|" + query] = std::move(rows);
    }
};

TEST_F(ComputerInfo, TheFullReportLineByLine) {
    platform::reg::SetString(Key{Hive::LocalMachine, "HARDWARE\\DESCRIPTION\\System\\BIOS"}, "BIOSVendor", "Vendor");
    W().drives['c'] = {platform::hw::DriveFixed, platform::hw::VolumeFacts{"NTFS", "System"},
                       platform::hw::SpaceFacts{100ull << 20, (50ull << 20) + 12345}};
    W().drives['d'] = {platform::hw::DriveCdRom, std::nullopt, std::nullopt};
    W().drives['e'] = {platform::hw::DriveFixed, std::nullopt, std::nullopt};  // nothing readable
    StageWmi("SELECT * FROM CIM_ComputerSystem", {{{"Manufacturer", "Old"}, {"Model", "Old"}},
                                                  {{"Manufacturer", "Acme"}, {"Model", "Lab 7"}}});
    StageWmi("SELECT * FROM CIM_BIOSElement", {{{"SerialNumber", "SN-1"}}});

    const std::string expected =
        "Tallisto Client Version: 3.1.0.7\r"
        "Windows 10 Pro (Version 10.0, Build 19045, 64-bit Edition)\r"
        "Processor:   Fake CPU 3.00GHz\r"
        "Frequency: ~2995 MHz\r"
        "RAM: ~8192 Mb\r"
        "BIOS Version: Vendor\n"
        "Logical Drives:\r\n"
        "Letter Type       FileSystem Label       Capacity   Available \r\n" +
        std::string(62, '-') + "\r\n" +
        "c:     Fixed      NTFS       System           100Mb       50Mb\r\n"
        "d:     CD_ROM    \r\n"
        "e:     Fixed                                    0Mb        0Mb\r\n"
        "\r"
        "Mac Address(es):\r"
        "\r"
        "Manufacturer: Acme\rModel: Lab 7\rSerial: SN-1";
    EXPECT_EQ(TComputerInfo::PrintAllInfo(), expected);
    // The clock was measured at real-time priority, and the priority put back.
    EXPECT_EQ(W().realTimeBoostsTaken, 1);
    EXPECT_EQ(W().realTimeBoosts, 0);
}

TEST_F(ComputerInfo, OperatingSystemLines) {
    struct Case {
        platform::sys::OsVersion version;
        uint16_t arch;
        const char* line;
        const char* product = "Windows 10 Pro";
    } cases[] = {
        {{10, 0, 19045, 1, 0}, 9, "Windows 10 Pro (Version 10.0, Build 19045, 64-bit Edition)"},
        {{6, 1, 7601, 1, 1}, 0, "Windows 10 Pro Service Pack 1 (Version 6.1, Build 7601, 32-bit Edition)"},
        {{5, 0, 2195, 1, 4}, 9, "Windows 10 Pro Service Pack 4 (Version 5.0, Build 2195, 32-bit Edition)"},
        // Windows 11 still calls itself Windows 10 in the registry; its build tells.
        {{10, 0, 22000, 1, 0}, 9, "Windows 11 Pro (Version 10.0, Build 22000, 64-bit Edition)"},
        {{10, 0, 26100, 1, 0}, 9, "Windows 11 Pro (Version 10.0, Build 26100, 64-bit Edition)"},
        {{10, 0, 26100, 3, 0}, 9, "Windows Server 2025 Datacenter (Version 10.0, Build 26100, 64-bit Edition)",
         "Windows Server 2025 Datacenter"},
        {{10, 0, 21999, 1, 0}, 9, "Windows 10 Pro (Version 10.0, Build 21999, 64-bit Edition)"},
    };
    for (const auto& c : cases) {
        W().version = c.version;
        W().nativeArch = c.arch;
        platform::reg::SetString(Key{Hive::LocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"},
                                 "ProductName", c.product);
        EXPECT_EQ(TComputerInfo::GetOSLine(), c.line);
    }
}

TEST_F(ComputerInfo, BiosLinesFromEitherKey) {
    const Key system{Hive::LocalMachine, "HARDWARE\\DESCRIPTION\\System"};
    // Without the BIOS key: the date alone when the version can't be read...
    platform::reg::SetString(system, "SystemBiosDate", "03/24/25");
    EXPECT_EQ(TComputerInfo::GetBIOSInfo(), "BIOS Date: 03/24/25");
    // ...else its non-empty lines, split at every control character.
    const std::u16string multi = u"ACME - 1\0\0Rev 2\tB\0\0"s;
    std::vector<uint8_t> bytes;
    for (char16_t c : multi) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    platform::reg::SetBinary(system, "SystemBiosVersion", bytes);
    EXPECT_EQ(TComputerInfo::GetBIOSInfo(), "BIOS Date: 03/24/25\nBIOS Version: ACME - 1\r\nRev 2\r\nB\r\n");
    // The BIOS key wins when it says anything; its values are joined and trimmed.
    const Key bios{Hive::LocalMachine, "HARDWARE\\DESCRIPTION\\System\\BIOS"};
    platform::reg::SetString(bios, "BIOSReleaseDate", "2025");
    EXPECT_EQ(TComputerInfo::GetBIOSInfo(), "BIOS Version: 2025\n");
}

TEST_F(ComputerInfo, WithoutManagementQueriesTheFieldsStayEmpty) {
    const std::string report = TComputerInfo::PrintAllInfo();
    const std::string tail = "Mac Address(es):\r\rManufacturer: \rModel: \rSerial: ";
    ASSERT_GE(report.size(), tail.size());
    EXPECT_EQ(report.substr(report.size() - tail.size()), tail);
    EXPECT_TRUE(log->Has("Error get maufacturer from WMI - the query could not be run"));
    EXPECT_TRUE(log->Has("Error get model from WMI - the query could not be run"));
    EXPECT_TRUE(log->Has("Error get serial from WMI - the query could not be run"));
    EXPECT_THROW(TWMIInfo::GetDiskVideocardInfo(), std::runtime_error);
    // The fields are read once per process life.
    StageWmi("SELECT * FROM CIM_BIOSElement", {{{"SerialNumber", "SN-2"}}});
    EXPECT_EQ(TWMIInfo::Instance()->FSerial, "");
    TWMIInfo::ReleaseInstance();
    EXPECT_EQ(TWMIInfo::Instance()->FSerial, "SN-2");
}

TEST_F(ComputerInfo, WhereOnlyTheConcreteClassesAnswerTheyAreAsked) {
    StageWmi("SELECT * FROM Win32_ComputerSystem", {{{"Manufacturer", "Wine"}, {"Model", "Prefix"}}});
    StageWmi("SELECT * FROM Win32_BIOS", {{{"SerialNumber", "0"}}});
    EXPECT_EQ(TWMIInfo::Instance()->ToString(), "Manufacturer: Wine\rModel: Prefix\rSerial: 0");
}

TEST_F(ComputerInfo, DisksAndVideoCards) {
    StageWmi("SELECT * FROM Win32_DiskDrive", {{{"Caption", "Disk One"}, {"FirmwareRevision", "1.0"}},
                                               {{"Caption", "Disk Two"}},
                                               {{"Model", "Model only"}}});
    StageWmi("SELECT * FROM Win32_VideoController",
             {{{"Caption", "Card"}, {"DriverVersion", "31.0"}}, {{"Caption", "No driver"}}});
    EXPECT_EQ(TWMIInfo::GetDiskVideocardInfo(),
              "Physical Harddisks:\nDisk One (Firmware - 1.0)\nDisk Two\nModel only\n\nVideocards:\n"
              "Card (Driver Version - 31.0)\n");
}

}  // namespace

namespace {

// The management queries run in a child of the agent's program, so what they
// load stays out of the agent; their log lines still reach its log.
TEST_F(ComputerInfo, TheManagementQueriesRunInAChild) {
    qztest::StageAgentChild();
    StageWmi("SELECT * FROM Win32_ComputerSystem", {{{"Manufacturer", "Wine"}, {"Model", "Prefix"}}});
    StageWmi("SELECT * FROM Win32_DiskDrive", {{{"Caption", "Disk One"}}});
    StageWmi("SELECT * FROM Win32_VideoController", {{{"Caption", "Card"}, {"DriverVersion", "31.0"}}});
    EXPECT_EQ(TWMIInfo::Instance()->ToString(), "Manufacturer: Wine\rModel: Prefix\rSerial: ");
    EXPECT_TRUE(log->Has("Error get serial from WMI - the query could not be run"));
    EXPECT_EQ(TWMIInfo::GetDiskVideocardInfo(),
              "Physical Harddisks:\nDisk One\n\nVideocards:\nCard (Driver Version - 31.0)\n");
    EXPECT_EQ(W().childRuns, (std::vector<std::string>{"C:\\Agent\\QZService.exe /qz-child wmi-facts 7",
                                                        "C:\\Agent\\QZService.exe /qz-child wmi-disks 7"}));
    // A query that fails in the child fails the same way here.
    W().wmiTables.clear();
    EXPECT_THROW(TWMIInfo::GetDiskVideocardInfo(), std::runtime_error);
}

TEST_F(ComputerInfo, AFailedChildLeavesTheFieldsEmpty) {
    StageWmi("SELECT * FROM Win32_ComputerSystem", {{{"Manufacturer", "Wine"}, {"Model", "Prefix"}}});
    StageWmi("SELECT * FROM Win32_DiskDrive", {{{"Caption", "Disk One"}}});
    StageWmi("SELECT * FROM Win32_VideoController", {});
    W().childPrograms["c:\\agent\\qzservice.exe"] = [](const std::string&) {
        platform::fake::FakeChildRun hung;
        hung.hangs = true;
        return hung;
    };
    qz::TChildJobs::SetProgram("C:\\Agent\\QZService.exe");
    const std::string report = TComputerInfo::PrintAllInfo();
    const std::string tail = "Mac Address(es):\r\rManufacturer: \rModel: \rSerial: ";
    ASSERT_GE(report.size(), tail.size());
    EXPECT_EQ(report.substr(report.size() - tail.size()), tail);
    EXPECT_TRUE(log->Has("The child for wmi-facts ran longer than 20 s and was ended"));
    EXPECT_THROW(TWMIInfo::GetDiskVideocardInfo(), std::runtime_error);
}

}  // namespace
