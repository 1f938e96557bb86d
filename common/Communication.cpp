#include "common/Communication.h"
#include "common/Settings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>

#include "common/Logger.h"
#include "common/SocketError.h"
#include "common/Url.h"
#include "common/WinUtils.h"
#include "platform/Network.h"
#include "platform/Registry.h"

namespace qz {

TServerParams ServerParamsOf(const TSettings& s) { return {s.ServerURI(), s.PasswordHash(), s.ListenerPort()}; }

std::string RequestResultName(TRequestResult r) {
    switch (r) {
    case TRequestResult::rrError: return "rrError";
    case TRequestResult::rrNotRecognizeResponse: return "rrNotRecognizeResponse";
    case TRequestResult::rrDecryptFailed: return "rrDecryptFailed";
    case TRequestResult::rrOk: return "rrOk";
    case TRequestResult::rrNoChange: return "rrNoChange";
    case TRequestResult::rrStationBanned: return "rrStationBanned";
    }
    return "rrError";
}

TCommunicationModule::TCommunicationModule(std::shared_ptr<THttpTransport> transport)
    : FTransport(transport ? std::move(transport) : std::make_shared<THttpClientTransport>()) {}

std::string TCommunicationModule::EndpointUrl(const std::string& serverUrl, const std::string& endpoint) {
    std::string url = serverUrl;
    if (url.empty() || url.back() != '/') url += '/';
    return url + endpoint;
}

std::string TCommunicationModule::PathEncode(const std::string& value) {
    static const std::string kEscaped = "*<>#%\"{}|\\^[]`+";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (c < 0x21 || c > 0x7F || kEscaped.find(static_cast<char>(c)) != std::string::npos) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string TCommunicationModule::MakeOneTimeKey() {
    static std::mutex lock;
    static std::mt19937 rng(static_cast<uint32_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()));
    std::lock_guard<std::mutex> guard(lock);
    std::uniform_int_distribution<int> dist(0, 65534);
    return std::to_string(dist(rng)) + std::to_string(dist(rng));
}

std::string TCommunicationModule::GetMacAddressParameters() {
    std::vector<std::string> macs;
    GetPhysicalAdapterMacs(macs);
    std::string out;
    for (const auto& m : macs) {
        if (!out.empty()) out += '&';
        out += "mac=" + PathEncode(m);
    }
    return out;
}

std::string TCommunicationModule::DecodeResponse(const std::string& Response, const TBytes& password,
                                                 TRequestResult& RequestResult) {
    RequestResult = TRequestResult::rrError;
    if (Response.size() == 1) {
        switch (static_cast<uint8_t>(Response[0])) {
        case 0xF0: RequestResult = TRequestResult::rrNotRecognizeResponse; break;
        case 0xF1: RequestResult = TRequestResult::rrDecryptFailed; break;
        case 0xF2: RequestResult = TRequestResult::rrNoChange; break;
        case 0xF3: RequestResult = TRequestResult::rrStationBanned; break;
        default: break;
        }
        return {};
    }
    try {
        std::string text = ToText(TCrypto::Decrypt(ToBytes(Response), password));
        RequestResult = TRequestResult::rrOk;
        return text;
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("decode response error=") + e.what());
        RequestResult = TRequestResult::rrError;
        return {};
    }
}

namespace {

std::string HostParam() { return TCommunicationModule::PathEncode(TWinUtils::GetComputerNetName()); }

// E: the one-time key under the password hash, as it travels in the address.
std::string EncryptedKeyParam(const std::string& key, const TServerParams& settings) {
    const TBytes hash = TBase64::DecodeBase64(settings.PasswordHash);
    return TCommunicationModule::PathEncode(TBase64::EncodeBase64(TCrypto::Encrypt(ToBytes(key), hash)));
}

}  // namespace

std::string TCommunicationModule::Communicate(const std::string& State, const TBytes& password,
                                              const std::string& NoChangeCode, const TServerParams& settings,
                                              TRequestResult& RequestResult, TExchangeBounds bounds) {
    RequestResult = TRequestResult::rrError;
    try {
        TLogger::Fine("Requesting the server");
        const TBytes body = TCrypto::Encrypt(ToBytes(State), password);
        std::string url = EndpointUrl(settings.ServerUrl, "guard") + "?hostname=" + HostParam();
        if (!NoChangeCode.empty()) url += "&nochange=" + NoChangeCode;
        url += "&" + GetMacAddressParameters();
        TLogger::Finest("Request string - " + url);
        const THttpReply reply = FTransport->Request("POST", url, ToText(body), bounds.ConnectMs, bounds.ReadMs);
        if (!reply.ok) {
            TLogger::Warning("communicate error " + reply.error);
            if (reply.socketError) T10054SocketError::Instance()->HandleException(reply.socketError);
            return {};
        }
        return DecodeResponse(reply.body, password, RequestResult);
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("communicate error ") + e.what());
        RequestResult = TRequestResult::rrError;
        return {};
    }
}

std::string TCommunicationModule::KeyExchangeGet(KeyExchange kind, const TServerParams& settings,
                                                 TRequestResult& RequestResult) {
    RequestResult = TRequestResult::rrError;
    if (kind == KeyExchange::Register)
        TLogger::Fine("Registering at the server");
    else
        TLogger::Fine("hash=" + settings.PasswordHash);
    const std::string key = MakeOneTimeKey();
    const std::string e = EncryptedKeyParam(key, settings);
    const std::string guard = EndpointUrl(settings.ServerUrl, "guard");
    std::string url;
    uint32_t readTimeout = ReadTimeoutMs;
    switch (kind) {
    case KeyExchange::Register:
        url = guard + "?register_me=" + e + "&f=13&platform=Win32NT&guard_port=" +
              std::to_string(settings.ListenerPort) + "&hostname=" + HostParam() + "&" + GetMacAddressParameters();
        TLogger::Fine("Register URL=" + url);
        break;
    case KeyExchange::Test:
        url = guard + "?test=" + e + "&hostname=" + HostParam() + "&" + GetMacAddressParameters();
        readTimeout = ShortReadTimeoutMs;
        break;
    case KeyExchange::Directory:
        url = guard + "?give_station_register=" + e;
        readTimeout = ShortReadTimeoutMs;
        break;
    }
    return KeyedRequest("GET", url, {}, readTimeout, key, kind == KeyExchange::Register, RequestResult);
}

std::string TCommunicationModule::KeyedRequest(const std::string& method, const std::string& url,
                                               const std::string& body, uint32_t readTimeoutMs,
                                               const std::string& key, bool countResets,
                                               TRequestResult& RequestResult) {
    try {
        const THttpReply reply = FTransport->Request(method, url, body, ConnectTimeoutMs, readTimeoutMs);
        if (!reply.ok) {
            TLogger::Info("web request failed " + reply.error);
            if (countResets && reply.socketError) T10054SocketError::Instance()->HandleException(reply.socketError);
            return {};
        }
        return DecodeResponse(reply.body, ToBytes(key), RequestResult);
    } catch (const std::exception& ex) {
        TLogger::Info(std::string("web request failed ") + ex.what());
        RequestResult = TRequestResult::rrError;
        return {};
    }
}

std::string TCommunicationModule::RegisterMe(const TServerParams& settings, TRequestResult& RequestResult) {
    return KeyExchangeGet(KeyExchange::Register, settings, RequestResult);
}

std::string TCommunicationModule::TestConnection(const TServerParams& settings, TRequestResult& RequestResult) {
    return KeyExchangeGet(KeyExchange::Test, settings, RequestResult);
}

std::string TCommunicationModule::GetStationDirectory(const TServerParams& settings, TRequestResult& RequestResult) {
    return KeyExchangeGet(KeyExchange::Directory, settings, RequestResult);
}

std::string TCommunicationModule::RegisterStation(const std::string& message, const TServerParams& settings,
                                                  TRequestResult& RequestResult) {
    RequestResult = TRequestResult::rrError;
    const std::string key = MakeOneTimeKey();
    TLogger::Fine("key=" + key);
    TLogger::Fine("hash=" + settings.PasswordHash);
    const std::string url = EndpointUrl(settings.ServerUrl, "guard") + "?add_ws=" + EncryptedKeyParam(key, settings);
    const TBytes body = TCrypto::Encrypt(ToBytes(message), ToBytes(key));
    return KeyedRequest("POST", url, ToText(body), ReadTimeoutMs, key, false, RequestResult);
}

// ---- MAC discovery ----

namespace {

std::string FormatMac(const std::vector<uint8_t>& bytes, bool upper) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, upper ? "%02X" : "%02x", bytes[i]);
        if (i) out += ':';
        out += buf;
    }
    return out;
}

std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

bool GetPhysicalAdapterMacs(std::vector<std::string>& list) {
    list.clear();
    const std::string root = "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
    std::vector<std::string> physical;
    try {
        for (const auto& id : platform::reg::SubKeyNames({platform::reg::Hive::LocalMachine, root})) {
            try {
                const auto v = platform::reg::QueryValue(
                    {platform::reg::Hive::LocalMachine, root + "\\" + id + "\\Connection"}, "PnpInstanceID");
                if (v && (v->type == platform::reg::ValueType::String ||
                          v->type == platform::reg::ValueType::ExpandString) &&
                    v->text.rfind("PCI\\", 0) == 0)
                    physical.push_back(Upper(id));
            } catch (const std::exception&) {
                // One unreadable adapter doesn't hide the others.
            }
        }
    } catch (const std::exception&) {
    }
    const auto adapters = platform::net::QueryAdapterAddresses();
    if (!adapters) return false;
    for (const auto& a : *adapters) {
        if (a.hardwareAddress.empty() || a.operStatus >= 6) continue;
        if (std::find(physical.begin(), physical.end(), Upper(a.adapterName)) == physical.end()) continue;
        const std::string mac = FormatMac(a.hardwareAddress, true);
        if (std::find(list.begin(), list.end(), mac) == list.end()) list.push_back(mac);
    }
    return true;
}

std::string GetPrimaryMac(const std::string& serverUrl) {
    std::string result;
    const std::vector<uint8_t> zero(6, 0);
    for (const auto& status : platform::net::NetbiosAdapterStatuses(zero)) {
        if (!status) break;
        if (*status != zero) {
            result = FormatMac(*status, true);
            break;
        }
    }
    // An all-zero adapter status names no adapter: fall back to the route.
    if (!result.empty()) return result;
    try {
        const std::string host = SplitUrl(serverUrl).host;
        TLogger::Fine("Host for mac address - " + host);
        const auto hw = platform::net::BestInterfaceHardwareAddress(host);
        if (hw && !hw->empty()) return FormatMac(*hw, false);
    } catch (const std::exception&) {
    }
    return {};
}

}  // namespace qz
