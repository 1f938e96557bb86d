#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/Communication.h"
#include "common/Event.h"

namespace qz {

// What one heartbeat cycle reads from the settings.
struct THeartbeatConfig {
    bool UseWebsockets = false;
    uint32_t WebsocketTimeout = 10000;
    uint32_t IMAlivePeriod = 30000;
    uint32_t NetworkOutageTimeout = 300000;
    bool LockOnNetworkFailure = false;
    TServerParams Server;
};

// The protocol state the heartbeat drives; the application state implements it.
class IHeartbeatState {
public:
    virtual ~IHeartbeatState() = default;
    virtual bool AppInitialized() const = 0;
    virtual void SetAppInitialized(bool value) = 0;
    virtual void SetNeedAddGuardPort(bool value) = 0;
    virtual void SetPacketId(const std::string& id) = 0;
    virtual std::string PacketId() const = 0;
    virtual TBytes ConnectionPassword() const = 0;
    virtual std::string NoChangeCode() const = 0;
    virtual std::string ReceivedResponse() const = 0;
    // Main thread only.
    virtual std::string CreateResponse(bool& NoChangeValue) = 0;
    virtual bool ProcessState(const std::string& AState) = 0;
    virtual void ResetApplication() = 0;
};

// The websocket channel as the heartbeat sees it.
class IWebsocketLink {
public:
    virtual ~IWebsocketLink() = default;
    virtual bool Connected() const = 0;
    virtual void SendData(const TBytes& message) = 0;
    virtual void SetNeedToReconnect(bool value) = 0;
    virtual void RefreshState() = 0;
};

// The agent's one conversation with the guard server: register until known,
// then exchange state every 0.8 to 1.2 periods or when woken.
class TPingServerThread {
public:
    struct Hooks {
        std::function<THeartbeatConfig()> config;
        // Runs work on the main thread and waits for it.
        std::function<void(const std::function<void()>&)> onMainThread;
        // Locks the console after a long outage (called through onMainThread).
        std::function<void()> lockConsole;
        IWebsocketLink* websocket = nullptr;
        // The wait between cycles; the wake-up event unless a test replaces it.
        std::function<void(uint32_t)> wait;
    };
    // Pause after a cycle that raised, so a persistent fault can't spin.
    static constexpr uint32_t ErrorPauseMs = 1000;
    // The shortest period a server can set, so a period of 0 can't make the heartbeat spin.
    static constexpr uint32_t MinAlivePeriodMs = 1000;

    TPingServerThread(IHeartbeatState& state, Hooks hooks, TEvent& wake, TEvent& responseReceived,
                      std::shared_ptr<THttpTransport> transport = nullptr);
    ~TPingServerThread();

    // The thread is created suspended; Resume starts it.
    void Resume();
    // Asks the thread to end and ends the exchange it may be in.
    void Terminate();
    void WaitFor();

    // One cycle without its wait; returns the sleep that should follow.
    uint32_t RunCycle();
    // The wait that ends a cycle, with the outage accounting after it.
    void Sleep(uint32_t ms);

    TCommunicationModule& Communicator() { return *_communicator; }
    int32_t NetworkOutageTime() const { return _networkOutageTime; }

    static std::string NewPacketId();
    // A uniform draw from [round(0.8 p), round(1.2 p)).
    static uint32_t RandomPeriod(uint32_t p);
    // The 19-byte no-change frame: packet id bytes, then the code's three low bytes.
    static TBytes NoChangeFrame(const std::string& packetId, const std::string& noChangeCode);

private:
    void Execute();
    void WebsocketSend();

    IHeartbeatState& _state;
    Hooks _hooks;
    TEvent& _wake;
    TEvent& _responseReceived;
    std::unique_ptr<TCommunicationModule> _communicator;
    int32_t _networkOutageTime = 0;
    bool _noChangeValue = false;
    std::string _packet;
    std::atomic<bool> _terminated{false};
    std::thread _thread;
};

}  // namespace qz
