#include "commands/CommandProcessor.h"

#include <sstream>

#include "commands/ComputerInfo.h"
#include "commands/LogArchive.h"
#include "commands/Screenshot.h"
#include "common/Communication.h"
#include "common/Crypto.h"
#include "common/Event.h"
#include "common/Logger.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "common/Utils.h"
#include "monitor/Beholder.h"
#include "platform/Clock.h"
#include "platform/Processes.h"
#include "platform/Screen.h"
#include "protocol/AppState.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/PowerUtils.h"
#include "sessions/UserSessions.h"

namespace qz {

struct TCommandProcessor::Target {
    std::string hostname;
    int32_t sessionId = -1;
    bool given() const { return !hostname.empty() || sessionId > 0; }
};

namespace {

constexpr const char* Title = "Tallisto Client";

// A child the command can't do without: its absence ends the processing.
pugi::xml_node Required(const pugi::xml_node& parent, const char* name) {
    pugi::xml_node child = parent.child(name);
    if (!child) throw ECommandError(std::string("Element \"") + name + "\" not found");
    return child;
}

void Result(pugi::xml_node& reply, bool ok, const char* yes, const char* no) {
    reply.append_child("result").text() = ok ? yes : no;
}

std::string DocumentText(const pugi::xml_document& doc) {
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw);
    return out.str();
}

}  // namespace

TCommandProcessor::TCommandProcessor(TCommandContext context) : FCtx(std::move(context)) {
    if (!FCtx.Now) FCtx.Now = [] { return platform::sys::NowLocal(); };
}

TCommandProcessor::Target TCommandProcessor::ReadTarget(const pugi::xml_node& root) {
    Target t;
    if (!FCtx.SupportMultipleSessions) return t;
    if (pugi::xml_node h = root.child("hostname")) t.hostname = h.text().get();
    try {
        if (pugi::xml_node s = root.child("session_id")) t.sessionId = ParseInt32(s.text().get());
    } catch (const std::exception& e) {
        t.sessionId = -1;
        TLogger::Fine(std::string("Getting session id exception - ") + e.what());
    }
    return t;
}

std::string TCommandProcessor::ProcessCommand(const std::string& text) {
    pugi::xml_document request;
    const pugi::xml_parse_result parsed = request.load_buffer(text.data(), text.size());
    if (!parsed) throw ECommandError(std::string("Invalid XML: ") + parsed.description());
    const pugi::xml_node root = request.document_element();
    if (!root) throw ECommandError("Empty document");
    const Target target = ReadTarget(root);

    if (std::string(root.name()) == "response") {
        const std::string id = root.attribute("id").value();
        TLogger::Fine("Found response packet with id " + id);
        if (FCtx.AppState && !id.empty() && id == FCtx.AppState->PacketId()) {
            FCtx.AppState->SetReceivedResponse(text);
            // Set, not pulsed: the reply may come before the heartbeat waits for it.
            if (FCtx.ResponseReceived) FCtx.ResponseReceived->Set();
        } else {
            TLogger::Fine("Unexpected response with id " + id);
        }
        return std::string();
    }

    pugi::xml_document replyDoc;
    pugi::xml_node reply = replyDoc.append_child("response");
    const std::string name = Required(root, "name").text().get();
    if (FCtx.AppState && VersionAtLeast(FCtx.AppState->PacketVersion(), "2.2"))
        reply.append_child("client_time").text() = TUtils::formatUTCTime(FCtx.Now()).c_str();
    if (name == "set_state" && FCtx.AppState) {
        if (pugi::xml_node state = root.child("control_state")) {
            try {
                std::lock_guard<std::recursive_mutex> lock(FCtx.AppState->StateLock());
                FCtx.AppState->ProcessControlState(state, true);
                FCtx.AppState->CollectActiveState(reply);
            } catch (...) {
                TLogger::Fine("Unknown exception");
            }
        }
    }
    if (pugi::xml_attribute id = root.attribute("id")) reply.append_attribute("id") = id.value();
    Run(name, root, reply, target);
    return DocumentText(replyDoc);
}

void TCommandProcessor::Run(const std::string& name, const pugi::xml_node& request, pugi::xml_node& reply,
                            const Target& target) {
    auto resolve = [&]() -> TUserSessionPtr {
        if (!FCtx.Sessions) return nullptr;
        return target.sessionId > 0 ? FCtx.Sessions->GetUserSessionBySessionId(static_cast<uint32_t>(target.sessionId))
                                    : FCtx.Sessions->GetUserSessionByHostname(target.hostname);
    };
    const bool multi = FCtx.SupportMultipleSessions;
    auto show = [&](const std::string& text) {
        if (FCtx.ShowMessage) FCtx.ShowMessage(text, Title, target.hostname, target.sessionId);
    };
    auto appShutDown = [&](const std::string& app) {
        show("Application \"" + app + "\" has been shut down by Administrator");
    };
    if (name == "shutdown_station") {
        TLogger::Fine("Computer shutdown has been requested");
        Result(reply, TPowerUtils::ShutdownComputer(), "success", "fail");
    } else if (name == "restart_station") {
        TLogger::Fine("Computer restart has been requested");
        Result(reply, TPowerUtils::RestartComputer(), "success", "fail");
    } else if (name == "logout_station") {
        bool ok = false;
        if (multi) {
            if (const TUserSessionPtr s = resolve())
                ok = TPowerUtils::LogOffComputer(s->FSessionId);
            else
                TLogger::Fine("User session not found for hostname " + target.hostname + ", SessionId " +
                              std::to_string(target.sessionId));
        } else if (FCtx.GuardEvents && !FCtx.GuardEvents->UserName().empty()) {
            ok = TPowerUtils::LogOffComputer();
        }
        Result(reply, ok, "success", "fail");
    } else if (name == "show_message") {
        const std::string message = Required(request, "message").text().get();
        TLogger::Fine("Showing message has been requested");
        if (pugi::xml_node emergency = request.child("emergency")) {
            bool on = false;
            try {
                on = ParseBool(emergency.text().get());
            } catch (const EConvertError&) {
            }
            if (on) TLogger::Fine("Emergency message");
        }
        show(message);
        reply.append_child("result").text() = "success";
    } else if (name == "cancel_message") {
        (void)request.child("id").text().get();  // read and not used
    } else if (name == "get_all_active_processes") {
        reply.append_child("result").text() = "success";
        pugi::xml_node list = reply.append_child("process_list");
        TProcessList processes = TBeholder::GetProcessList();
        if (multi && !target.hostname.empty()) {
            const TUserSessionPtr s = resolve();
            TProcessList kept;
            for (auto& p : processes)
                if (s && p.FSessionId == s->FSessionId) kept.push_back(std::move(p));
            processes.swap(kept);
        }
        if (TLogger::GetMainLevel() >= logFinest) {
            TBeholder::printProcesses(processes);
            TBeholder::printVersionCache();
        }
        for (const auto& p : processes) {
            pugi::xml_node e = list.append_child("process");
            e.append_child("name").text() = p.ShortName().c_str();
            e.append_child("launch_time").text() = TUtils::formatUTCTime(p.FStartTime).c_str();
            e.append_child("process_id").text() = std::to_string(p.FPId).c_str();
            e.append_child("path").text() = p.FProcessPath.c_str();
            e.append_child("version").text() = p.FVersion.c_str();
            e.append_child("product_name").text() = p.FName.c_str();
            e.append_child("company").text() = p.FCompanyName.c_str();
        }
    } else if (name == "get_screen_shot") {
        std::optional<int32_t> width, height;
        if (pugi::xml_node w = request.child("width")) width = TryParseInt32(w.text().get());
        if (pugi::xml_node h = request.child("height")) height = TryParseInt32(h.text().get());
        if (!width || !height) {
            TLogger::Fine("Width and height parameters for screenshot not found");
            const platform::screen::Size primary = platform::screen::PrimaryScreenSize();
            width = primary.width;
            height = primary.height;
        }
        const std::string stamp = request.child("stamp").child("text").text().get();
        const std::vector<uint8_t> picture = TScreenshot::GetScreenShot(
            *width, *height, stamp, FCtx.AppState ? FCtx.AppState->PacketVersion() : std::string());
        const uint64_t t0 = platform::sys::TickCountMs();
        const std::string encoded = TBase64::EncodeBase64(picture);
        TLogger::Fine("encode64Time " + std::to_string(platform::sys::TickCountMs() - t0));
        reply.append_child("result").text() = "success";
        reply.append_child("screen_shot").text() = encoded.c_str();
    } else if (name == "get_computer_info") {
        TLogger::Fine("Computer info has been requested");
        std::string text = TComputerInfo::PrintAllInfo();
        try {
            const std::string disks = TWMIInfo::GetDiskVideocardInfo();
            text += "\n\n" + disks;
        } catch (const std::exception& e) {
            TLogger::Fine(std::string("Disk and video card report not available: ") + e.what());
        }
        reply.append_child("result").text() = "success";
        reply.append_child("raw_data").text() = TBase64::EncodeBase64(TBytes(text.begin(), text.end())).c_str();
    } else if (name == "get_client_log") {
        TLogger::Fine("Request to send a log has been received");
        const std::vector<uint8_t> archive = TLogArchive::Build(GetAgentDataFolder());
        reply.append_child("result").text() = "success";
        reply.append_child("raw_data").text() = TBase64::EncodeBase64(archive).c_str();
    } else if (name == "set_logging_level") {
        const int32_t level = ParseInt32(Required(request, "logging_level").text().get());
        TLogger::Fine("Log level setup has been requested " + std::to_string(level));
        if (FCtx.SetLogLevel) FCtx.SetLogLevel(level);
        reply.append_child("result").text() = "success";
    } else if (name == "get_mac") {
        TLogger::Fine("Mac address has been requested");
        bool list = false;
        if (pugi::xml_node cm = request.child("cm")) list = TryParseInt32(cm.text().get()).value_or(0) >= 2;
        std::string text;
        if (list) {
            std::vector<std::string> macs;
            GetPhysicalAdapterMacs(macs);
            for (const auto& m : macs) text += m + "\r\n";
            TLogger::Fine(text);
        } else {
            text = GetPrimaryMac(FCtx.Settings ? FCtx.Settings->ServerURI() : std::string());
        }
        reply.append_child("result").text() = "success";
        reply.append_child("raw_data").text() = text.c_str();
    } else if (name == "shutdown_process") {
        const TProcessList snapshot = TBeholder::GetProcessList();
        bool ok = true;
        for (pugi::xml_node p = request.child("process"); p; p = p.next_sibling("process")) {
            try {
                const std::string idText = Required(p, "process_id").text().get();
                const uint32_t pid = static_cast<uint32_t>(std::stoll(idText));
                if (multi && target.given()) {
                    const TUserSessionPtr s = resolve();
                    bool sameSession = false;
                    for (const auto& info : snapshot)
                        if (info.FPId == pid) sameSession = s && info.FSessionId == s->FSessionId;
                    ok = sameSession;
                }
                if (ok) {
                    for (const auto& info : snapshot)
                        if (info.FPId == pid && !info.BeautifulName().empty()) appShutDown(info.BeautifulName());
                    ok = TBeholder::ProcessTerminate(pid) && ok;
                }
            } catch (const ECommandError&) {
                // A process entry without its id is skipped.
            } catch (const std::exception& e) {
                TLogger::Warning(std::string("Error parsing the list of killed applications ") + e.what());
            }
        }
        Result(reply, ok, "success", "failure");
    } else if (name == "message_logout") {
        TLogger::Fine("Message logout: show message and logout after X seconds");
        reply.append_child("result").text() = "success";
    } else if (name == "shutdown_app") {
        TProcessTemplate app;
        app.LoadFromXML(Required(request, "application"));
        TProcessList snapshot = TBeholder::GetProcessList();
        if (multi && target.given())
            if (const TUserSessionPtr s = resolve()) {
                TProcessList kept;
                for (auto& p : snapshot)
                    if (p.FSessionId == s->FSessionId) kept.push_back(std::move(p));
                snapshot.swap(kept);
            }
        bool ok = true;
        for (const auto& p : snapshot)
            if (app.FitsProcess(p)) {
                appShutDown(p.BeautifulName());
                ok = TBeholder::ProcessTerminate(p.FPId) && ok;
            }
        Result(reply, ok, "success", "failure");
    } else if (name == "remote_login") {
        const pugi::xml_node login = Required(request, "login");
        bool forced = false;
        if (pugi::xml_attribute f = login.attribute("forced")) {
            try {
                forced = ParseBool(f.value());
            } catch (const EConvertError&) {
                forced = false;
            }
        }
        TLogger::Fine(std::string("Remote login has been requested with login - ") + login.text().get() +
                      ", forced - " + BoolTitleText(forced));
        const std::string user = login.text().get();
        bool ok = false;
        const auto& custom = FCtx.Custom;
        auto currentUser = [&] { return FCtx.GuardEvents ? FCtx.GuardEvents->UserName() : std::string(); };
        if (custom.LoginUser) {
            if (forced && !currentUser().empty()) {
                if (custom.LogoutUser) custom.LogoutUser();
                if (custom.StopSessionLimit) custom.StopSessionLimit();
                if (FCtx.Locker) FCtx.Locker->SetCustomUserLogginned(false);
            }
            if (currentUser().empty()) {
                custom.LoginUser(user);
                if (FCtx.Locker) FCtx.Locker->SetCustomUserLogginned(true);
                ok = true;
            }
        }
        reply.append_child("result").text() = ok ? "success" : "fail";
    } else if (name == "set_state_ts") {
        bool ok = false;
        if (multi)
            if (const TUserSessionPtr s = resolve()) {
                s->FLocker->ResetAdminUnlock();
                s->FLocker->SetLocked(StrToLockedStatus(Required(request, "lock_status").text().get()));
                ok = true;
            }
        pugi::xml_node result = reply.append_child("result");
        result.text() = ok ? "success" : "failure";
        if (FCtx.AppState) FCtx.AppState->CollectActiveState(result);
    }
}

}  // namespace qz
