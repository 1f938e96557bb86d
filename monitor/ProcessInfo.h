#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/Utils.h"

namespace qz {

// One process of a snapshot. Version strings are already filtered of
// control characters by whoever fills the record.
class TProcessInfo {
public:
    std::string FCompanyName;  // "CompanyName" version string
    std::string FName;         // "FileDescription" version string
    uint32_t FPId = 0;
    std::string FProcessPath;
    double FStartTime = 0;     // local time; 0 when the process times can't be read
    std::string FVersion;      // "FileVersion" version string
    uintptr_t FHandle = 0;     // closed before the record is handed out; informational
    uint32_t FSessionId = 0;

    uintptr_t Handle() const { return FHandle; }
    const std::string& CompanyName() const { return FCompanyName; }
    const std::string& Name() const { return FName; }
    const std::string& ProcessPath() const { return FProcessPath; }
    double StartTime() const { return FStartTime; }
    const std::string& Version() const { return FVersion; }
    uint32_t SessionId() const { return FSessionId; }

    // The image's file name cut before its last "."; empty when it has no dot.
    std::string ShortName() const {
        const auto slash = FProcessPath.find_last_of("\\/");
        const std::string file = slash == std::string::npos ? FProcessPath : FProcessPath.substr(slash + 1);
        const auto dot = file.rfind('.');
        return dot == std::string::npos ? std::string() : file.substr(0, dot);
    }
    // The display name of a process everywhere.
    std::string BeautifulName() const { return FName.empty() ? ShortName() : FName; }

    std::string ToString() const {
        char head[32];
        std::snprintf(head, sizeof head, "%6u %2u ", FPId, FSessionId);
        return head + FProcessPath + " " + FName + " " + FCompanyName + " " + FVersion + " " +
               TUtils::formatUTCTime(FStartTime);
    }
};

}  // namespace qz
