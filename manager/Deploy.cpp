#include "manager/Deploy.h"

#include <algorithm>

#include "common/Text.h"
#include "common/Utils.h"

namespace qz {

TDeployProperties ParseDeployProperties(const std::string& lines) {
    TDeployProperties p;
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find_first_of("\r\n", start);
        if (end == std::string::npos) end = lines.size();
        const std::string line = lines.substr(start, end - start);
        start = end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "SERVER") p.Server = value;
        else if (key == "PORT") p.Port = value;
        else if (key == "PASSWORD") p.Password = value;
        else if (key == "UNLOCKPASSWORD") p.UnlockPassword = value;
        else if (key == "ROOM") p.Room = value;
        else if (key == "MODEL") p.Model = value;
        else if (key == "IMAGE") p.Image = value;
    }
    return p;
}

std::string UnattendedConfigText(const TDeployProperties& p) {
    std::string server = Trim(p.Server);
    const std::string port = Trim(p.Port);
    if (!port.empty()) {
        const size_t scheme = server.find("://");
        const size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
        const size_t hostEnd = std::min(server.find('/', hostStart), server.size());
        // A port written into the address already wins.
        if (server.substr(hostStart, hostEnd - hostStart).find(':') == std::string::npos)
            server.insert(hostEnd, ":" + port);
    }
    std::string text = "[Params]\r\n";
    const auto add = [&text](const char* key, const std::string& value) {
        if (value.empty()) return;
        std::string clean;
        for (char c : value)
            if (c != '\r' && c != '\n') clean += c;
        text += std::string(key) + "=\"" + clean + "\"\r\n";
    };
    add("serverip", server);
    add("serverpassword", p.Password);
    add("unlockpassword", p.UnlockPassword);
    add("room", p.Room);
    add("model", p.Model);
    add("image", p.Image);
    return text;
}

std::string UnattendedConfigPath() { return GetAgentDataFolder() + "config.ini"; }

}  // namespace qz
