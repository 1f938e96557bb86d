#include "manager/Main.h"

#include <pugixml.hpp>

#include "common/Crypto.h"
#include "common/Text.h"
#include "common/WinUtils.h"
#include "common/XmlText.h"

namespace qz {

namespace {

const char* const kConnectionFailed =
    "Connection Test Failed.\nCheck firewall on the server and/or correct server IP address.";

// The summary lines of a good reply; false with what was built so far when an
// element is missing.
bool StationSummary(const std::string& reply, const std::string& computerNetName, std::string& text) {
    pugi::xml_document doc;
    if (!doc.load_buffer(reply.data(), reply.size(), pugi::parse_default, pugi::encoding_utf8)) return false;
    const pugi::xml_node settings = doc.document_element().child("control_state").child("settings");
    const pugi::xml_node room = settings.child("room_name");
    if (!room) return false;
    text = "Room : " + ElementDeepText(room) + "\n\r";
    const pugi::xml_node station = settings.child("workstation_name");
    if (!station) return false;
    text += "Station Name : " + ElementDeepText(station) + "\n\r";
    text += "Host Name : " + computerNetName + "\n\r";
    const pugi::xml_node ip = settings.child("client_ip_for_server");
    if (!ip) return false;
    text += "Client IP registered with Tallisto Server : " + ElementDeepText(ip) + "\n\r";
    return true;
}

}  // namespace

TConnectionVerdict ConnectionCheckMessage(TRequestResult outcome, const std::string& reply, bool afterSave,
                                          const std::string& computerNetName) {
    switch (outcome) {
    case TRequestResult::rrError: return {kConnectionFailed, false};
    case TRequestResult::rrNotRecognizeResponse:
        if (afterSave) return {"Client workstation does not have a record on the server\n\ror client IP address is invalid", false};
        return {"Connection test with server succeeded, but the client workstation is not\n\rlisted on the server. "
                "Click Apply Settings to register the workstation with the server.",
                true};
    case TRequestResult::rrDecryptFailed: return {"Invalid server connection password", false};
    case TRequestResult::rrStationBanned: return {"Station is banned", false};
    case TRequestResult::rrOk:
    case TRequestResult::rrNoChange: break;
    }
    TConnectionVerdict v{kConnectionFailed, false};
    std::string text;
    v.Good = StationSummary(reply, computerNetName, text);
    if (!text.empty()) v.Text = text;
    return v;
}

TConnectionVerdict CheckConnection(TCommunicationModule& comm, const TSettings& settings, bool afterSave) {
    TRequestResult rr = TRequestResult::rrError;
    const std::string reply = comm.TestConnection(ServerParamsOf(settings), rr);
    return ConnectionCheckMessage(rr, reply, afterSave, TWinUtils::GetComputerNetName());
}

std::string TMainFormModel::ErrorText(TFieldError e) {
    switch (e) {
    case TFieldError::BlankPassword: return "Password can not be blank.";
    case TFieldError::PortNotWholeNumber: return "Port value has to be a whole number.";
    case TFieldError::PortOutOfRange: return "Port value has to be between 1 and 65535.";
    case TFieldError::None: break;
    }
    return {};
}

void TMainFormModel::FillControls() {
    ServerUrlText = Settings.ServerUrl();
    PortText = std::to_string(Settings.ListenerPort());
    PasswordText = PasswordPlaceholder;
    _passwordChanged = false;
}

std::string TMainFormModel::EditConnectionPasswordChange(const std::string& text) {
    if (!_passwordChanged) {
        // The first keystroke or paste replaces the placeholder as a whole.
        _passwordChanged = true;
        PasswordText.clear();
    } else {
        PasswordText = text;
    }
    return PasswordText;
}

TMainFormModel::TFieldError TMainFormModel::CheckAndSaveSettings() {
    Settings.SetServerUrl(ServerUrlText);
    if (_passwordChanged) {
        if (Trim(PasswordText).empty()) return TFieldError::BlankPassword;
        // Hashed as typed: surrounding blanks belong to the password.
        Settings.SetPasswordHash(TBase64::EncodeBase64(TCrypto::CalculateMD5(PasswordText)));
    }
    const std::optional<int32_t> port = TryParseInt32(Trim(PortText));
    if (!port) return TFieldError::PortNotWholeNumber;
    // The agent can't listen anywhere else.
    if (*port < 1 || *port > 65535) return TFieldError::PortOutOfRange;
    Settings.SetListenerPort(*port);
    return TFieldError::None;
}

}  // namespace qz
