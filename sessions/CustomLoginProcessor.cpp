#include "sessions/CustomLoginProcessor.h"

#include "common/Logger.h"
#include "common/WinUtils.h"
#include "platform/Library.h"
#include "platform/Registry.h"
#include "protocol/GuardEventsInfo.h"

namespace qz {

namespace {
const platform::reg::Key& UserKey() {
    static const platform::reg::Key key{platform::reg::Hive::LocalMachine, TCustomLoginProcessor::RegistryPath,
                                        platform::reg::View::Default};
    return key;
}
}  // namespace

bool AuthDllFunctions::LocalAdminAutoUnlockScreen(const std::string& programFolder) {
    return platform::lib::CallBoolEntry(programFolder + LibraryName, "LocalAdminAutoUnlockScreen").value_or(false);
}

std::string TCustomLoginProcessor::CurrentUser() const {
    std::lock_guard<std::mutex> g(FLock);
    return _currentUser;
}

void TCustomLoginProcessor::Change(const std::string& newUser, bool isAdmin, const std::string& fullName) {
    std::lock_guard<std::mutex> g(FLock);
    if (FDeps.GuardEvents) FDeps.GuardEvents->UserChanged(_currentUser, newUser, isAdmin, fullName);
    _currentUser = newUser;
}

void TCustomLoginProcessor::LoginUser(const std::string& UserName, const std::string& FullName) {
    TLogger::Fine("login custom user - " + UserName);
    Change(TWinUtils::GetComputerNetName() + "\\" + UserName, false, FullName);
    // Registry and event-log failures change nothing: the journal has the logon.
    try {
        platform::reg::CreateKey(UserKey());
        platform::reg::SetString(UserKey(), "Username", UserName);
    } catch (const std::exception&) {
    }
    if (FDeps.ReportEvent) FDeps.ReportEvent(EventLoggedOn, "Korvane user was successfully logged on.");
    if (FDeps.Wake) FDeps.Wake();
}

void TCustomLoginProcessor::LoginDomainUser(const std::string& UserName, const std::string& Domain, bool IsAdmin) {
    TLogger::Fine("login custom user - " + UserName);
    Change(Domain + "\\" + UserName, IsAdmin, UserName);
    if (FDeps.Wake) FDeps.Wake();
}

void TCustomLoginProcessor::LogoutUser() {
    TLogger::Fine("Logout custom user");
    Change("", false, "");
    try {
        if (platform::reg::KeyExists(UserKey())) platform::reg::DeleteValue(UserKey(), "Username");
    } catch (const std::exception&) {
    }
    if (FDeps.ReportEvent) FDeps.ReportEvent(EventLoggedOut, "Korvane user was successfully logged out.");
    if (FDeps.Wake) FDeps.Wake();
}

}  // namespace qz
