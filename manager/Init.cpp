#include "manager/Init.h"

#include <filesystem>

#include "common/Logger.h"
#include "common/Text.h"
#include "common/Utils.h"
#include "common/WinUtils.h"
#include "manager/ControlPanelUtils.h"
#include "manager/Main.h"
#include "manager/Unattended.h"
#include "platform/Processes.h"

namespace qz {

namespace {

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(ToFsPath(path), ec);
}

std::string AuthorizeLibrary(const std::string& programPath) { return ExtractFilePath(programPath) + "Authorize.dll"; }

// rundll32 runs the entry; the manager doesn't wait for it.
void StartLibraryEntry(const std::string& library, const std::string& entry) {
    const std::string program = "\"" + TWinUtils::GetSystemDir() + "\\rundll32.exe\"";
    const std::string arguments = "\"" + library + "\"," + entry;
    TLogger::Fine("start rundll " + program + " " + arguments);
    std::string error;
    if (!platform::sys::StartProgram(program + " " + arguments, error)) TLogger::Fine("Start rundll32 failed " + error);
}

}  // namespace

TStartupSwitches ParseStartupSwitches(const std::vector<std::string>& args) {
    TStartupSwitches s;
    for (const auto& arg : args) {
        if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) continue;
        const std::string name = AsciiLower(arg.substr(1));
        if (name == "install") s.Install = true;
        else if (name == "register_cp") s.RegisterCp = true;
        else if (name == "unregister_cp") s.UnregisterCp = true;
        else if (name == "register_user") s.RegisterUser = true;
        else if (name == "unregister_user") s.UnregisterUser = true;
    }
    return s;
}

void RegisterAuthorizeUser(const std::string& programPath) {
    TLogger::Fine("Register user");
    const std::string library = AuthorizeLibrary(programPath);
    if (FileExists(library) && FileExists(GetAgentDataFolder() + "Autologon.ini"))
        StartLibraryEntry(library, "RegisterUser");
}

void UnregisterAuthorizeUser(const std::string& programPath) {
    TLogger::Fine("UnRegister user");
    const std::string library = AuthorizeLibrary(programPath);
    if (FileExists(library)) StartLibraryEntry(library, "UnRegisterUser");
}

TStartupOutcome RunStartup(const std::vector<std::string>& args, TCommunicationModule& comm,
                           const TStartupHooks& hooks) {
    const auto errorBox = [&](const std::string& text) {
        if (hooks.ErrorBox) hooks.ErrorBox(text);
    };
    // Before anything is read: without the rights there is nothing to do.
    if (!TWinUtils::IsAdmin()) {
        errorBox("Local system administrator's privileges are required to run Tallisto Client Manager.\n\r"
                 "Program will now exit.");
        return TStartupOutcome::End;
    }
    const TStartupSwitches sw = ParseStartupSwitches(args);
    if (sw.RegisterUser) RegisterAuthorizeUser(hooks.ProgramPath);
    if (sw.UnregisterUser) UnregisterAuthorizeUser(hooks.ProgramPath);

    const bool configured = FileExists(UnattendedConfigPath());
    if (sw.UnregisterCp) {
        TControlPanelUtils::UnregisterApplet();
        return TStartupOutcome::End;
    }
    if (sw.RegisterCp) {
        TControlPanelUtils::RegisterApplet(hooks.ProgramPath);
        if (configured) RunUnattendedSetup(comm);
        return TStartupOutcome::End;
    }
    if (configured) {
        RunUnattendedSetup(comm);
        return TStartupOutcome::End;
    }
    if (TServiceUtils::IsServiceInstalled(ServiceName, "")) {
        if (sw.Install) TControlPanelUtils::RegisterApplet(hooks.ProgramPath);
        return TStartupOutcome::ShowMainWindow;
    }
    errorBox("Tallisto Client Service is not installed on your system.\n\rReinstall Tallisto Client.");
    return TStartupOutcome::End;
}

}  // namespace qz
