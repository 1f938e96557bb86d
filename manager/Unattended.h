#pragma once
// The configuration a deployment tool leaves in "config.ini", and the
// automatic registration it can ask for.
#include <string>

#include "common/Communication.h"
#include "manager/Deploy.h"

namespace qz {

struct TUnattendedParams {
    static constexpr const char* DefaultServerIp = "127.0.0.2";
    static constexpr const char* DefaultServerPassword = "HiddenMarigold";
    std::string ServerIp = DefaultServerIp;
    std::string ServerPassword = DefaultServerPassword;
    bool HasUnlockPassword = false;
    std::string UnlockPassword;
    std::string Room, Model, Image;  // all three, or no registration
};

// The [Params] section of an INI text; missing keys keep their defaults.
TUnattendedParams ParseUnattendedParams(const std::string& iniText);

// The ids the directory gives for the names (trimmed, letter case ignored); -1 when missing.
struct TDirectoryIds {
    int Room = -1, Model = -1, Image = -1;
};
TDirectoryIds FindDirectoryIds(const std::string& directory, const std::string& room, const std::string& model,
                               const std::string& image);

// Reads the file, saves the settings, registers when asked and deletes the
// file; the agent's service is stopped before and started after. Errors end
// it where it is, with the file left for another try.
void RunUnattendedSetup(TCommunicationModule& comm);

// Logs to "logs\Autoreg.log".
void RunAutoRegistration(const TUnattendedParams& params, TCommunicationModule& comm);

}  // namespace qz
