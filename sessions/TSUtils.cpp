#include "sessions/TSUtils.h"

#include "common/WinUtils.h"
#include "platform/Registry.h"

namespace qz {

bool TTSUtils::IsTSEnabled() {
    // The session-host test needs the inventory queries, which are not wired
    // in yet; until then every station counts as single-user.
    return false;
}

bool TTSUtils::IsCitrixInstalled() { return TServiceUtils::IsServiceInstalled("BrokerAgent", ""); }

bool TTSUtils::IsHorizonInstalled() {
    try {
        const platform::reg::Key key{platform::reg::Hive::LocalMachine, "SOFTWARE\\VMware, Inc.\\VMware VDM",
                                     platform::reg::View::Wow64};
        return platform::reg::QueryValue(key, "ProductVersion").has_value();
    } catch (...) {
        return false;
    }
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
