#pragma once
// What a deployment hands the manager's unattended mode: the file it reads,
// and that file made from an installer's public properties. Kept apart from
// the rest of the unattended mode, so the installer's action takes only this.
#include <string>

namespace qz {

// What an installer's public properties ask for (SERVER, PORT, PASSWORD,
// UNLOCKPASSWORD, ROOM, MODEL, IMAGE); empty ones are not given.
struct TDeployProperties {
    std::string Server, Port, Password, UnlockPassword, Room, Model, Image;
};

// The properties from "NAME=value" lines (an installer's action data).
TDeployProperties ParseDeployProperties(const std::string& lines);

// The "config.ini" that makes the unattended mode do what the properties ask:
// the port goes after the server's host ("host:port/app_name"), every value
// quoted so the reader gives it back as it stands, line breaks dropped.
std::string UnattendedConfigText(const TDeployProperties& p);

// The agent data folder's "config.ini".
std::string UnattendedConfigPath();

}  // namespace qz
