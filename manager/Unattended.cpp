#include "manager/Unattended.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <typeinfo>

#include <pugixml.hpp>

#include "common/Crypto.h"
#include "common/LoggerHandlers.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "common/Utils.h"
#include "common/WinUtils.h"
#include "common/XmlText.h"
#include "manager/Main.h"
#include "manager/Register.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"

namespace qz {

namespace {

// A deployment tool writes a few lines; anything bigger isn't ours.
constexpr size_t kMaxConfigBytes = 64 * 1024;
constexpr int32_t kAutoregLogMaxMb = 1;

std::string PasswordHashOf(const std::string& password) {
    return TBase64::EncodeBase64(TCrypto::CalculateMD5(password));
}

// The name the error is logged under.
std::string ErrorClassName(const std::exception& e) {
    if (dynamic_cast<const platform::SystemError*>(&e)) return "SystemError";
    if (dynamic_cast<const EConvertError*>(&e)) return "EConvertError";
    if (dynamic_cast<const ECipherError*>(&e)) return "ECipherError";
    if (dynamic_cast<const EXmlValueError*>(&e)) return "EXmlValueError";
    if (dynamic_cast<const std::filesystem::filesystem_error*>(&e)) return "EFileSystemError";
    if (dynamic_cast<const std::bad_alloc*>(&e)) return "EOutOfMemory";
    return "Exception";
}

// The first child of `holder` whose name matches, trimmed and without letter case; -1 when none.
int FindId(const pugi::xml_node& parent, const char* holderName, const std::string& wanted) {
    const pugi::xml_node holder = parent.child(holderName);
    if (!holder) throw std::runtime_error(std::string("No \"") + holderName + "\" element");
    const std::string key = AsciiLower(Trim(wanted));
    for (pugi::xml_node e = holder.first_child(); e; e = e.next_sibling()) {
        if (e.type() != pugi::node_element) continue;
        const pugi::xml_node name = e.child("name");
        if (!name) throw std::runtime_error(std::string("No name in a \"") + holderName + "\" entry");
        if (AsciiLower(Trim(ElementDeepText(name))) == key) return ParseInt32(e.attribute("id").value());
    }
    return -1;
}

// The registration log: created for this run, gone with it.
class TAutoregLog {
public:
    TAutoregLog() : _handler(logThrowing, GetAgentDataFolder() + "logs\\Autoreg.log", kAutoregLogMaxMb) {
        try {
            _handler.SetActive(true);
        } catch (const std::exception& e) {
            TLogger::Warning(std::string("Can not open the registration log ") + e.what());
        }
    }

private:
    TFileLoggerHandler _handler;
};

}  // namespace


TUnattendedParams ParseUnattendedParams(const std::string& iniText) {
    TUnattendedParams p;
    std::string text = iniText;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    bool inParams = false;
    std::set<std::string> seen;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            inParams = AsciiLower(Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1))) ==
                       "params";
            continue;
        }
        const size_t eq = line.find('=');
        if (!inParams || eq == std::string::npos) continue;
        const std::string key = AsciiLower(Trim(line.substr(0, eq)));
        std::string value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        // The first of a repeated key counts, as the system's own reader does.
        if (!seen.insert(key).second) continue;
        if (key == "serverip") p.ServerIp = value;
        else if (key == "serverpassword") p.ServerPassword = value;
        else if (key == "unlockpassword") {
            p.HasUnlockPassword = !value.empty();
            p.UnlockPassword = value;
        } else if (key == "room") p.Room = value;
        else if (key == "model") p.Model = value;
        else if (key == "image") p.Image = value;
    }
    return p;
}

TDirectoryIds FindDirectoryIds(const std::string& directory, const std::string& room, const std::string& model,
                               const std::string& image) {
    TDirectoryIds ids;
    try {
        pugi::xml_document doc;
        const pugi::xml_parse_result parsed =
            doc.load_buffer(directory.data(), directory.size(), pugi::parse_default, pugi::encoding_utf8);
        if (!parsed) throw std::runtime_error(parsed.description());
        const pugi::xml_node root = doc.document_element();
        const pugi::xml_node result = root.child("result");
        if (!result || ElementDeepText(result) != "success") return ids;
        const pugi::xml_node dir = root.child("station_directory");
        if (!dir) throw std::runtime_error("No \"station_directory\" element");
        ids.Room = FindId(dir, "rooms", room);
        ids.Model = FindId(dir, "models", model);
        ids.Image = FindId(dir, "images", image);
    } catch (const std::exception& e) {
        TLogger::Info(std::string("xml error") + e.what());
    }
    return ids;
}

void RunAutoRegistration(const TUnattendedParams& params, TCommunicationModule& comm) {
    TAutoregLog autoregLog;
    TLogger::Throwing("Start autoreg");
    TLogger::Throwing("Autoreg: Model Name=" + params.Model + ",Room Name=" + params.Room +
                      ",Image Name=" + params.Image);

    TSettings settings;
    settings.LoadFromFile(TSettings::SettingsFilePath());
    const TServerParams server = ServerParamsOf(settings);
    TRequestResult tested = TRequestResult::rrError;
    comm.TestConnection(server, tested);
    switch (tested) {
    case TRequestResult::rrOk: TLogger::Throwing("Workstation is already registered"); return;
    case TRequestResult::rrDecryptFailed: TLogger::Throwing("Can not register workstation: wrong password"); return;
    case TRequestResult::rrError: TLogger::Throwing("Can not register workstation: can not connect"); return;
    case TRequestResult::rrNoChange:
    case TRequestResult::rrStationBanned:
        TLogger::Throwing("Can not register workstation: unknown server response");
        return;
    case TRequestResult::rrNotRecognizeResponse: break;
    }

    TRequestResult listed = TRequestResult::rrError;
    const std::string directory = comm.GetStationDirectory(server, listed);
    TLogger::Finest("station dir:" + directory);
    const TDirectoryIds ids = FindDirectoryIds(directory, params.Room, params.Model, params.Image);
    TLogger::Throwing("Autoreg: Model Id=" + std::to_string(ids.Model) + ",Room Id=" + std::to_string(ids.Room) +
                      ",Image Id=" + std::to_string(ids.Image));
    if (ids.Room == -1) {
        TLogger::Throwing("Can not find room " + params.Room + " on the server");
        return;
    }
    if (ids.Model == -1) {
        TLogger::Throwing("Can not find model " + params.Model + " on the server");
        return;
    }
    if (ids.Image == -1) {
        TLogger::Throwing("Can not find image " + params.Image + " on the server");
        return;
    }

    TStationRegistration r;
    r.Name = TWinUtils::GetComputerNetName();
    FillMacAddresses(r, settings.ServerURI());
    r.RoomId = std::to_string(ids.Room);
    r.ImageId = std::to_string(ids.Image);
    r.ModelId = std::to_string(ids.Model);
    TRequestResult registered = TRequestResult::rrError;
    const std::string reply = comm.RegisterStation(FormXML(r), server, registered);
    if (registered != TRequestResult::rrOk) return;
    pugi::xml_document doc;
    const bool parsed = doc.load_buffer(reply.data(), reply.size(), pugi::parse_default, pugi::encoding_utf8);
    const pugi::xml_node root = doc.document_element();
    const pugi::xml_node result = root.child("result");
    if (parsed && result && ElementDeepText(result) == "success") {
        TLogger::Throwing("Workstation has been added successfully");
        return;
    }
    std::string line = "Workstation failed to register with Tallisto Server";
    if (const pugi::xml_node error = root.child("error")) line += " " + ElementDeepText(error);
    TLogger::Throwing(line);
}

void RunUnattendedSetup(TCommunicationModule& comm) {
    TLogger::Fine("Start unattended setup");
    // Once the agent is stopped, every way out of here starts it again: a
    // failed run must not leave the station unguarded until the next reboot.
    bool stopped = false;
    try {
        const std::string configPath = UnattendedConfigPath();
        const std::vector<uint8_t> bytes = platform::files::ReadShared(configPath, kMaxConfigBytes);
        const TUnattendedParams params = ParseUnattendedParams(std::string(bytes.begin(), bytes.end()));
        // The password stays out of the log.
        TLogger::Fine("ServerIp=" + params.ServerIp + ", ServerPassword=***");

        if (TServiceUtils::IsServiceInstalled(ServiceName, "")) {
            stopped = true;  // a stop that fails halfway still gets its start
            TServiceUtils::ServiceStop(ServiceName, "");
        }

        TSettings settings;
        const std::string settingsPath = TSettings::SettingsFilePath();
        std::error_code ec;
        if (std::filesystem::exists(ToFsPath(settingsPath), ec)) settings.LoadFromFile(settingsPath);
        settings.SetServerUrl(params.ServerIp);
        settings.SetPasswordHash(PasswordHashOf(params.ServerPassword));
        // Unsaved, the file stays for another try rather than being lost.
        if (!settings.SaveSettings(settingsPath)) throw std::runtime_error("The settings could not be saved");

        if (params.HasUnlockPassword) TUtils::WriteRegistryKey("telephone", PasswordHashOf(params.UnlockPassword));
        if (!params.Room.empty() && !params.Model.empty() && !params.Image.empty())
            RunAutoRegistration(params, comm);

        std::filesystem::remove(ToFsPath(configPath));
    } catch (const std::exception& e) {
        TLogger::Warning("Deploy Setting error:" + ErrorClassName(e) + " : " + e.what());
    } catch (...) {
        TLogger::Warning("Deploy Setting error:Exception : unknown error");
    }
    if (stopped && !TServiceUtils::ServiceStart(ServiceName, ""))
        TLogger::Warning("Deploy Setting error: the service " + std::string(ServiceName) + " did not start again");
}

}  // namespace qz
