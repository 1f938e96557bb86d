#include "sessions/TSUtils.h"

#include "common/Logger.h"
#include "common/Text.h"
#include "common/WinUtils.h"
#include "platform/Registry.h"
#include "platform/SystemInfo.h"
#include "platform/Wmi.h"

namespace qz {

bool TTSUtils::IsTSEnabled() {
    try {
        if (platform::sys::GetOsVersion().productType != platform::sys::ProductServer) {
            TLogger::Fine("OS is not windows server");
            return false;
        }
    } catch (const std::exception&) {
        return false;
    }
    // Feature 130 is the Remote Desktop Session Host.
    bool installed = false;
    if (const auto rows = platform::wmi::Query("root\\CIMV2", "SELECT * FROM Win32_ServerFeature", {"ID"}))
        for (const auto& row : *rows) {
            auto id = row.find("ID");
            if (id != row.end() && TryParseInt32(id->second).value_or(-1) == 130) installed = true;
        }
    TLogger::Fine(std::string("Remote desktop session host installed - ") + BoolTitleText(installed));
    return installed;
}

bool TTSUtils::IsCitrixInstalled() { return TServiceUtils::IsServiceInstalled("BrokerAgent", ""); }

bool TTSUtils::IsHorizonInstalled() {
    bool installed = false;
    try {
        const platform::reg::Key key{platform::reg::Hive::LocalMachine, "SOFTWARE\\VMware, Inc.\\VMware VDM",
                                     platform::reg::View::Wow64};
        installed = platform::reg::QueryValue(key, "ProductVersion").has_value();
    } catch (...) {
        installed = false;
    }
    TLogger::Fine(std::string("Horizon installed - ") + BoolTitleText(installed));
    return installed;
}

TStationType TTSUtils::GetStationType() {
    if (IsHorizonInstalled()) return TStationType::stHorizonMachine;
    if (IsCitrixInstalled()) return TStationType::stCitrixMachine;
    if (IsTSEnabled()) return TStationType::stTerminalServer;
    return TStationType::stRegular;
}

std::string TTSUtils::GetVDIType() {
    if (IsHorizonInstalled()) return "horizon";
    if (IsCitrixInstalled()) return "citrix";
    return "none";
}

std::string TTSUtils::GetSessionEventName(uint32_t eventType) {
    static const char* const kNames[] = {"WTS_CONSOLE_CONNECT",    "WTS_CONSOLE_DISCONNECT", "WTS_REMOTE_CONNECT",
                                         "WTS_REMOTE_DISCONNECT",  "WTS_SESSION_LOGON",      "WTS_SESSION_LOGOFF",
                                         "WTS_SESSION_LOCK",       "WTS_SESSION_UNLOCK",     "WTS_SESSION_REMOTE_CONTROL",
                                         "WTS_SESSION_CREATE",     "WTS_SESSION_TERMINATE"};
    if (eventType >= 1 && eventType <= 11) return kNames[eventType - 1];
    return std::to_string(eventType);
}

}  // namespace qz
