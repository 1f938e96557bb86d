#include "protocol/PingServer.h"

#include <chrono>
#include <cmath>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <stdexcept>

#include "common/Logger.h"
#include "common/SocketError.h"
#include "platform/Clock.h"

namespace qz {

namespace {
std::mt19937& Rng() {
    static std::mt19937 rng(static_cast<uint32_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()));
    return rng;
}
std::mutex g_rngLock;
}  // namespace

TPingServerThread::TPingServerThread(IHeartbeatState& state, Hooks hooks, TEvent& wake, TEvent& responseReceived,
                                     std::shared_ptr<THttpTransport> transport)
    : _state(state),
      _hooks(std::move(hooks)),
      _wake(wake),
      _responseReceived(responseReceived),
      _communicator(std::make_unique<TCommunicationModule>(std::move(transport))) {
    if (!_hooks.onMainThread) _hooks.onMainThread = [](const std::function<void()>& fn) { fn(); };
    if (!_hooks.config) _hooks.config = [] { return THeartbeatConfig{}; };
    if (!_hooks.wait) _hooks.wait = [this](uint32_t ms) { _wake.WaitFor(ms); };
}

TPingServerThread::~TPingServerThread() {
    Terminate();
    WaitFor();
}

void TPingServerThread::Resume() {
    if (!_thread.joinable() && !_terminated) _thread = std::thread([this] { Execute(); });
}

void TPingServerThread::Terminate() {
    _terminated = true;
    // A pulse only reaches a thread that is waiting; set it so the next wait ends too.
    _wake.Set();
    _communicator->Cancel();
}

void TPingServerThread::WaitFor() {
    if (_thread.joinable() && _thread.get_id() != std::this_thread::get_id()) _thread.join();
}

std::string TPingServerThread::NewPacketId() {
    std::lock_guard<std::mutex> lock(g_rngLock);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string id;
    char buf[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", byte(Rng()));
        id += buf;
    }
    return id;
}

uint32_t TPingServerThread::RandomPeriod(uint32_t p) {
    // 64-bit: 1.2 p passes 2^31 for large periods, and long is 32 bits on Windows.
    const uint64_t a = static_cast<uint64_t>(std::llround(0.8 * p));
    const uint64_t b = std::min<uint64_t>(static_cast<uint64_t>(std::llround(1.2 * p)), UINT32_MAX);
    if (a >= b) return static_cast<uint32_t>(a);
    std::lock_guard<std::mutex> lock(g_rngLock);
    return static_cast<uint32_t>(std::uniform_int_distribution<uint64_t>(a, b - 1)(Rng()));
}

TBytes TPingServerThread::NoChangeFrame(const std::string& packetId, const std::string& noChangeCode) {
    TBytes frame(19, 0);
    if (packetId.size() == 32) {
        for (size_t i = 0; i < 16; ++i) frame[i] = static_cast<uint8_t>(std::stoul(packetId.substr(i * 2, 2), nullptr, 16));
    }
    size_t used = 0;
    const long long code = std::stoll(noChangeCode, &used, 10);
    if (used != noChangeCode.size() || code < 0) throw std::invalid_argument("'" + noChangeCode + "' is not a valid integer value");
    frame[16] = static_cast<uint8_t>((code >> 16) & 0xFF);
    frame[17] = static_cast<uint8_t>((code >> 8) & 0xFF);
    frame[18] = static_cast<uint8_t>(code & 0xFF);
    return frame;
}

void TPingServerThread::WebsocketSend() {
    TLogger::Fine("Commandid=" + _state.PacketId());
    if (_noChangeValue)
        _hooks.websocket->SendData(NoChangeFrame(_state.PacketId(), _state.NoChangeCode()));
    else
        _hooks.websocket->SendData(TCrypto::Encrypt(ToBytes(_packet), _state.ConnectionPassword()));
}

uint32_t TPingServerThread::RunCycle() {
    uint32_t sleepTime = 0;
    TRequestResult outcome = TRequestResult::rrError;
    const THeartbeatConfig cfg = _hooks.config();
    const bool websocketMode = cfg.UseWebsockets && _hooks.websocket;
    std::string reply;

    if (_state.AppInitialized()) {
        _state.SetPacketId(websocketMode ? NewPacketId() : std::string());
        // Cleared first: a document that fails to build must not go out as "no change".
        _noChangeValue = false;
        _hooks.onMainThread([this] {
            try {
                bool noChange = false;
                std::string packet = _state.CreateResponse(noChange);
                _packet = std::move(packet);
                _noChangeValue = noChange;
            } catch (const std::exception& e) {
                TLogger::Warning(std::string("Error creating outbound packet ") + e.what());
            }
        });
        if (!_noChangeValue && TLogger::WillLog(logFinest)) TLogger::Finest("Sending the following to the server:" + _packet);
        if (!websocketMode) {
            reply = _communicator->Communicate(_packet, _state.ConnectionPassword(),
                                               _noChangeValue ? _state.NoChangeCode() : std::string(), cfg.Server,
                                               outcome);
        } else if (_hooks.websocket->Connected()) {
            // A late answer to an earlier cycle must not end this one's wait.
            _responseReceived.Reset();
            bool sent = false;
            try {
                WebsocketSend();
                sent = true;
            } catch (const std::exception& e) {
                // A peer that stops reading: this cycle's exchange failed, nothing more.
                TLogger::Info(std::string("Websocket send failed ") + e.what());
            }
            if (!sent) {
                outcome = TRequestResult::rrError;
            } else if (!_responseReceived.WaitFor(cfg.WebsocketTimeout)) {
                outcome = TRequestResult::rrError;
                TLogger::Fine("Wait timeout on websocket for server response");
            } else {
                const std::string received = _state.ReceivedResponse();
                if (received.size() == 1) {
                    outcome = static_cast<uint8_t>(received[0]) == 0xF2 ? TRequestResult::rrNoChange
                                                                         : TRequestResult::rrError;
                } else {
                    reply = received;
                    outcome = TRequestResult::rrOk;
                }
            }
        } else {
            outcome = TRequestResult::rrError;
            TLogger::Fine("websocket not connected");
        }
    } else {
        reply = _communicator->RegisterMe(cfg.Server, outcome);
        _state.SetNeedAddGuardPort(true);
        if (outcome == TRequestResult::rrOk) sleepTime = RandomPeriod(2000);
    }

    if (outcome == TRequestResult::rrOk || outcome == TRequestResult::rrNoChange) {
        _networkOutageTime = 0;
        _state.SetAppInitialized(true);
        T10054SocketError::Instance()->Reset();
        if (outcome == TRequestResult::rrOk) {
            TLogger::Fine("Received the following:");
            TLogger::Fine(reply);
            _packet = reply;
            _hooks.onMainThread([this, &reply] {
                try {
                    _state.ProcessState(reply);
                } catch (const std::exception& e) {
                    TLogger::Warning(std::string("Error processing inbound packet ") + e.what());
                }
            });
        } else {
            TLogger::Fine("got \"No Change\"");
        }
        if (_hooks.websocket) _hooks.websocket->SetNeedToReconnect(true);
    } else {
        TLogger::Warning("Server connection error - " + RequestResultName(outcome));
        _state.ResetApplication();
        if (_hooks.websocket) _hooks.websocket->SetNeedToReconnect(false);
        if (_networkOutageTime > static_cast<int64_t>(cfg.NetworkOutageTimeout)) {
            TLogger::Fine("Connection has been lost completely");
            if (cfg.LockOnNetworkFailure && _hooks.lockConsole) _hooks.onMainThread(_hooks.lockConsole);
        }
    }
    if (_hooks.websocket) _hooks.websocket->RefreshState();
    if (sleepTime == 0) sleepTime = RandomPeriod(std::max(cfg.IMAlivePeriod, MinAlivePeriodMs));
    TLogger::Fine("We'll sleep " + std::to_string(sleepTime) + " ms.");
    return sleepTime;
}

void TPingServerThread::Sleep(uint32_t ms) {
    const uint64_t t0 = platform::sys::TickCountMs();
    if (!_terminated) _hooks.wait(ms);
    if (!_state.AppInitialized()) {
        const uint64_t elapsed = platform::sys::TickCountMs() - t0;
        // Saturate rather than wrap during a very long outage.
        const int64_t total = static_cast<int64_t>(_networkOutageTime) + static_cast<int64_t>(elapsed);
        _networkOutageTime = total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
    }
}

void TPingServerThread::Execute() {
    TLogger::Fine("Ping thread has been launched");
    while (!_terminated) {
        uint32_t sleepTime = 0;
        try {
            sleepTime = RunCycle();
        } catch (const std::exception& e) {
            TLogger::Throwing(std::string("Error in a ping thread ") + e.what());
            if (!_terminated) _wake.WaitFor(ErrorPauseMs);
            continue;
        }
        if (_terminated) break;
        Sleep(sleepTime);
    }
}

}  // namespace qz
