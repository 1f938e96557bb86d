#pragma once
// A guard server in a box for the manager's exchanges: the connection test,
// the station directory and the registration, each read and answered under
// the one-time key the request carries, as the real server does. A request
// under another password can't be read and is refused with the decrypt-failed
// byte. Safe to use from the thread under test.
#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/Communication.h"
#include "common/Crypto.h"

namespace qztest {

// The hash the stub server holds for the station.
inline const std::string kGuardHash = "CGCbzzh9ExYqUp+8Dt/1CA==";  // "harbour"

// One answer: a document (sent under the key), a status byte, or no reply at all.
struct GuardAnswer {
    enum Kind { Document, Status, Down } kind = Document;
    std::string text;
    static GuardAnswer Doc(const std::string& xml) { return {Document, xml}; }
    static GuardAnswer Byte(uint8_t b) { return {Status, std::string(1, static_cast<char>(b))}; }
    static GuardAnswer NoReply() { return {Down, {}}; }
};

constexpr uint8_t kNotListed = 0xF0, kDecryptFailed = 0xF1, kNoChange = 0xF2, kBanned = 0xF3;

// A test reply of a station the server knows.
inline std::string KnownStationReply(const std::string& room = "Lab 1", const std::string& station = "WS-01",
                                     const std::string& ip = "10.0.0.7") {
    return "<response><control_state><settings><room_name>" + room + "</room_name><workstation_name>" + station +
           "</workstation_name><client_ip_for_server>" + ip +
           "</client_ip_for_server></settings></control_state></response>";
}

inline std::string ResultReply(bool ok, const std::optional<std::string>& error = std::nullopt) {
    return std::string("<response><result>") + (ok ? "success" : "failure") + "</result>" +
           (error ? "<error>" + *error + "</error>" : "") + "</response>";
}

class ManagerGuard : public qz::THttpTransport {
public:
    // The test answers in order; the last one repeats.
    void Test(std::vector<GuardAnswer> answers) { Set(tests_, std::move(answers)); }
    void Directory(GuardAnswer a) { Set(directory_, {std::move(a)}); }
    void Registration(GuardAnswer a) { Set(registration_, {std::move(a)}); }

    // "test", "directory", "add_ws" in the order they came.
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> hold(lock_);
        return requests_;
    }
    // The registration documents the server could read.
    std::vector<std::string> Registered() {
        std::lock_guard<std::mutex> hold(lock_);
        return registered_;
    }

    qz::THttpReply Request(const std::string& method, const std::string& url, const std::string& body, uint32_t,
                           uint32_t) override {
        std::lock_guard<std::mutex> hold(lock_);
        const struct {
            const char* param;
            const char* name;
            std::deque<GuardAnswer>* script;
        } endpoints[] = {{"test", "test", &tests_},
                         {"give_station_register", "directory", &directory_},
                         {"add_ws", "add_ws", &registration_}};
        std::optional<std::string> carried;
        std::deque<GuardAnswer>* script = nullptr;
        for (const auto& e : endpoints)
            if ((carried = Param(url, e.param))) {
                requests_.push_back(e.name);
                script = e.script;
                break;
            }
        if (!script) return Reply(GuardAnswer::Byte(kNotListed), {});
        const std::optional<qz::TBytes> key = KeyOf(*carried);
        if (!key) return Reply(GuardAnswer::Byte(kDecryptFailed), {});
        if (method == "POST") {
            try {
                registered_.push_back(qz::ToText(qz::TCrypto::Decrypt(qz::ToBytes(body), *key)));
            } catch (const std::exception&) {
                return Reply(GuardAnswer::Byte(kDecryptFailed), {});
            }
        }
        GuardAnswer a = script->empty() ? GuardAnswer::Byte(kNotListed) : script->front();
        if (script->size() > 1) script->pop_front();
        return Reply(a, *key);
    }

private:
    static void Set(std::deque<GuardAnswer>& into, std::vector<GuardAnswer> answers) {
        into.assign(answers.begin(), answers.end());
    }
    static std::optional<std::string> Param(const std::string& url, const std::string& name) {
        const size_t q = url.find('?');
        if (q == std::string::npos) return std::nullopt;
        for (size_t at = q + 1; at < url.size();) {
            const size_t end = std::min(url.find('&', at), url.size());
            const std::string pair = url.substr(at, end - at);
            if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
            at = end + 1;
        }
        return std::nullopt;
    }
    // The one-time key, read with the station's password hash; nullopt when it can't be.
    static std::optional<qz::TBytes> KeyOf(const std::string& escaped) {
        std::string b64;
        for (size_t i = 0; i < escaped.size(); ++i) {
            if (escaped[i] == '%' && i + 2 < escaped.size()) {
                b64 += static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                b64 += escaped[i];
            }
        }
        try {
            const qz::TBytes key =
                qz::TCrypto::Decrypt(qz::TBase64::DecodeBase64(b64), qz::TBase64::DecodeBase64(kGuardHash));
            // A key read under the wrong password is noise, not digits.
            if (key.size() < 2 || key.size() > 10) return std::nullopt;
            for (uint8_t c : key)
                if (c < '0' || c > '9') return std::nullopt;
            return key;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    static qz::THttpReply Reply(const GuardAnswer& a, const qz::TBytes& key) {
        qz::THttpReply r;
        if (a.kind == GuardAnswer::Down) {
            r.error = "Could not establish connection (socket error 10061)";
            r.socketError = 10061;
            return r;
        }
        r.ok = true;
        r.status = 200;
        r.body = a.kind == GuardAnswer::Status ? a.text : qz::ToText(qz::TCrypto::Encrypt(qz::ToBytes(a.text), key));
        return r;
    }

    std::mutex lock_;
    std::deque<GuardAnswer> tests_{GuardAnswer::Doc(KnownStationReply())};
    std::deque<GuardAnswer> directory_{GuardAnswer::Byte(kNotListed)};
    std::deque<GuardAnswer> registration_{GuardAnswer::Doc(ResultReply(true))};
    std::vector<std::string> requests_;
    std::vector<std::string> registered_;
};

}  // namespace qztest
