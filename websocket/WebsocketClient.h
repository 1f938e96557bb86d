#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "websocket/WsFrame.h"
#include "websocket/WsStream.h"

namespace qz {

// A websocket client connection (RFC 6455, client side). Connect opens the
// TCP (or TLS) connection; the upgrade makes it a websocket and hands it to
// the process-wide reader thread, which reads, answers pings, pings it when
// idle and reconnects it after a loss. Messages reach the handlers on the
// process-wide delivery thread, one at a time, in order of arrival.
class TWebsocketClient {
public:
    using TDataHandler = std::function<void(const std::vector<uint8_t>&)>;
    using TTextHandler = std::function<void(const std::string&)>;
    using TEventHandler = std::function<void()>;
    using TOpener = std::function<std::unique_ptr<TWsStream>(const std::string& host, uint16_t port, bool tls,
                                                             uint32_t timeoutMs, std::string& error)>;
    struct Options {
        uint32_t connectTimeoutMs = 2000;
        uint32_t readTimeoutMs = 5000;   // the handshake, and the rest of a frame once it began
        uint32_t writeTimeoutMs = 2000;
        TWsFrameReader::Limits limits;
        TOpener open = OpenWsStream;
        // A ping once the last one is this old, looked at on every pass of the
        // reader, which waits at most pollMs: pings every 11 to 16 s.
        uint32_t pingAfterMs = 11000;
        uint32_t pollMs = 5000;
        // A lost connection is opened again once it has been quiet this long.
        uint32_t reconnectAfterMs = 5000;
    };

    TWebsocketClient(std::string host, uint16_t port, std::string resourceName, bool tls, Options options);
    TWebsocketClient(std::string host, uint16_t port, std::string resourceName, bool tls);
    ~TWebsocketClient();
    TWebsocketClient(const TWebsocketClient&) = delete;
    TWebsocketClient& operator=(const TWebsocketClient&) = delete;

    // Set before Connect.
    void OnBinData(TDataHandler h);
    void OnTextData(TTextHandler h);
    void OnConnected(TEventHandler h);
    void OnDisconnected(TEventHandler h);

    // Opens the connection, or tries the upgrade when it is open already.
    // Raises EWebsocketError when the connection can't be made.
    void Connect();
    // True when the connection is or becomes a websocket; the refusal reason otherwise.
    bool TryUpgradeToWebsocket(std::string* reason = nullptr);
    // The connection is open (whether or not upgraded). Never waits for the
    // client's lock, so a reconnect in progress doesn't hold up the caller.
    bool Connected() const { return FOpen; }
    bool IsWebsocket() const { return FIsWebsocket; }
    // One frame; raises EWebsocketError when it can't be written.
    void WriteData(const uint8_t* data, size_t size, TWSDataCode code, bool fin = true);
    void Ping() { WriteData(nullptr, 0, TWSDataCode::wdcPing); }
    // Closes with a close frame (code and reason) and waits briefly for the peer's.
    void Close(uint16_t code = WsCloseNormal, const std::string& reason = "");
    // Closes without a close frame and leaves the reader thread.
    void Disconnect();

    // Waits until every message and event queued so far has been handed over
    // (so an owner can go without a handler of its still running); returns at
    // once on the delivery thread itself.
    static void WaitForDeliveries(uint32_t timeoutMs = 5000);

    const std::string& Host() const { return FHost; }
    uint16_t Port() const { return FPort; }

private:
    friend class TWsReader;
    struct Handlers;
    // The reader thread's side. ProcessInput reads what has arrived and
    // handles it; it raises on a violation.
    void ProcessInput();
    bool HasPendingInput();
    platform::sock::Socket ReadySocket();
    void KeepAlive();
    void Reset(const std::string& why);
    // Replaces the stream; Connected() follows it.
    void SetStream(std::shared_ptr<TWsStream> stream);
    // Raises when a frame that began has not completed within the read time-out.
    void CheckFrameDeadline();
    // How long the reader may wait before this client needs a look.
    uint32_t WaitBudgetMs();
    // A close frame (codes below 1000 become 1000), unless one went already; whether it went.
    bool SendCloseCode(uint16_t code, const std::string& reason = "");
    // The peer's close answered with 1000, and the connection ended.
    void AnswerClose();
    template <typename Handler, typename... Args>
    void Notify(Handler Handlers::*which, Args... args);
    void Touch() { FLastActivity = std::chrono::steady_clock::now(); }

    const std::string FHost, FResourceName;
    const uint16_t FPort;
    const bool FTls;
    Options FOptions;
    std::shared_ptr<Handlers> FHandlers;
    mutable std::recursive_mutex FLock;   // connect, upgrade, close, reading
    std::mutex FWriteLock;                 // one frame at a time; never held while waiting for FLock
    std::shared_ptr<TWsStream> FStream;  // shared: a write keeps it alive while it runs
    std::atomic<bool> FOpen{false};      // FStream is set
    std::optional<std::chrono::steady_clock::time_point> FFrameBegan;  // bytes of an unfinished frame wait since
    bool FUnparsed = false;              // bytes fed with the upgrade's answer, not yet looked at
    TWsFrameReader FReader;
    std::atomic<bool> FIsWebsocket{false};
    bool FCloseSent = false;
    std::atomic<std::chrono::steady_clock::time_point> FLastActivity{std::chrono::steady_clock::now()};
    std::chrono::steady_clock::time_point FLastPing = std::chrono::steady_clock::now();
};

}  // namespace qz
