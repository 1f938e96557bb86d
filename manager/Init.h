#pragma once
// The manager's start-up: rights, switches, the Control Panel entry, the
// authorization library's users and the unattended configuration, all
// decided before any window exists.
#include <functional>
#include <string>
#include <vector>

#include "common/Communication.h"

namespace qz {

struct TStartupSwitches {
    bool Install = false;
    bool RegisterCp = false;
    bool UnregisterCp = false;
    bool RegisterUser = false;
    bool UnregisterUser = false;
};

// Each switch anywhere on the line, after "-" or "/", in any letter case.
TStartupSwitches ParseStartupSwitches(const std::vector<std::string>& args);

enum class TStartupOutcome { ShowMainWindow, End };

struct TStartupHooks {
    // An error box shown before any window exists.
    std::function<void(const std::string& text)> ErrorBox;
    std::string ProgramPath;  // the manager's full path
};

TStartupOutcome RunStartup(const std::vector<std::string>& args, TCommunicationModule& comm,
                           const TStartupHooks& hooks);

// Starts the authorization library's entry point through rundll32 when the
// library lies beside the program; does not wait.
void RegisterAuthorizeUser(const std::string& programPath);
void UnregisterAuthorizeUser(const std::string& programPath);

}  // namespace qz
