#include "websocket/WebsocketClient.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <random>
#include <thread>

#include "common/Logger.h"
#include "websocket/WsHandshake.h"

namespace qz {

using Clock = std::chrono::steady_clock;

namespace {

uint32_t MaskKey() {
    static std::mutex lock;
    static std::mt19937 rng{std::random_device{}()};
    std::lock_guard<std::mutex> hold(lock);
    return rng() & 0x7FFFFFFF;
}

// The delivery thread: runs queued work in order; started on first use.
class TWsDelivery {
public:
    static TWsDelivery& Instance() {
        static TWsDelivery d;
        return d;
    }
    bool OnDeliveryThread() {
        std::lock_guard<std::mutex> hold(FLock);
        return FThread.joinable() && FThread.get_id() == std::this_thread::get_id();
    }
    // A message past the queue's bounds is dropped (false): a handler that
    // can't keep up must not let a server fill the agent's memory. Events
    // (bytes 0) always go in.
    bool Post(std::function<void()> fn, size_t bytes = 0) {
        std::lock_guard<std::mutex> hold(FLock);
        if (bytes > 0 && (FQueue.size() >= MaxQueued || FQueuedBytes + bytes > MaxQueuedBytes)) return false;
        FQueue.push_back({std::move(fn), bytes});
        FQueuedBytes += bytes;
        if (!FThread.joinable()) FThread = std::thread([this] { Run(); });
        FWake.notify_one();
        return true;
    }
    static constexpr size_t MaxQueued = 256;
    static constexpr size_t MaxQueuedBytes = 32u << 20;
    ~TWsDelivery() {
        {
            std::lock_guard<std::mutex> hold(FLock);
            FStop = true;
            FWake.notify_one();
        }
        if (FThread.joinable()) FThread.join();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> hold(FLock);
        while (!FStop) {
            FWake.wait_for(hold, std::chrono::milliseconds(3000), [this] { return FStop || !FQueue.empty(); });
            std::deque<Item> work;
            work.swap(FQueue);
            hold.unlock();
            for (auto& item : work) {
                try {
                    item.fn();
                } catch (const std::exception& e) {
                    TLogger::Info(std::string("Websocket delivery error ") + e.what());
                }
                item.fn = nullptr;
                std::lock_guard<std::mutex> l(FLock);
                FQueuedBytes -= item.bytes;
            }
            hold.lock();
        }
    }
    struct Item {
        std::function<void()> fn;
        size_t bytes;
    };
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<Item> FQueue;
    size_t FQueuedBytes = 0;  // of messages queued or running
    std::thread FThread;
    bool FStop = false;
};

}  // namespace

struct TWebsocketClient::Handlers {
    std::mutex lock;
    TDataHandler onData;
    TTextHandler onText;
    TEventHandler onConnected, onDisconnected;
};

// The reader thread: one wait on every websocket's socket, then each client's
// input, pings for idle ones and reconnection of lost ones. The list's lock is
// never held while a client is served: serving may reconnect, and a new
// upgrade adds the client to the list again.
class TWsReader {
public:
    static constexpr size_t MaxClients = 64;

    static TWsReader& Instance() {
        static TWsReader r;
        return r;
    }
    void Add(TWebsocketClient* c) {
        std::lock_guard<std::mutex> hold(FLock);
        for (auto* x : FClients)
            if (x == c) return;
        if (FClients.size() >= MaxClients)
            throw EWebsocketError("Max 64 connections can be handled by one read thread!");
        FClients.push_back(c);
        if (!FThread.joinable()) {
            FPoller = platform::sock::MakePoller();
            FThread = std::thread([this] { Run(); });
        }
        if (FPoller) FPoller->Wake();
    }
    // Takes the client off the list and waits until the reader no longer
    // serves it (a pass is bounded by the client's own time-outs), so its
    // owner may free it.
    void Remove(TWebsocketClient* c) {
        std::unique_lock<std::mutex> hold(FLock);
        const bool reader = std::this_thread::get_id() == FThread.get_id();
        // A pass that reconnects the client adds it again: taken off once more when that pass ends.
        for (;;) {
            FClients.erase(std::remove(FClients.begin(), FClients.end(), c), FClients.end());
            if (reader || FServing != c) return;
            if (FPoller) FPoller->Wake();
            FIdle.wait(hold);
        }
    }
    ~TWsReader() {
        {
            std::lock_guard<std::mutex> hold(FLock);
            FStop = true;
        }
        if (FPoller) FPoller->Wake();
        if (FThread.joinable()) FThread.join();
    }

private:
    void Run() {
        for (;;) {
            std::vector<TWebsocketClient*> clients;
            std::vector<platform::sock::Socket> sockets;
            bool pending = false;
            uint32_t waitMs = 5000;
            {
                std::lock_guard<std::mutex> hold(FLock);
                if (FStop) return;
                clients = FClients;
                for (auto* c : clients) {
                    const auto s = c->ReadySocket();
                    if (s != platform::sock::InvalidSocket) sockets.push_back(s);
                    pending = pending || c->HasPendingInput();
                    waitMs = std::min(waitMs, c->WaitBudgetMs());
                }
            }
            if (!pending) FPoller->Wait(sockets, waitMs);
            for (auto* c : clients) {
                {
                    std::lock_guard<std::mutex> hold(FLock);
                    if (FStop) return;
                    if (std::find(FClients.begin(), FClients.end(), c) == FClients.end()) continue;  // removed meanwhile
                    FServing = c;
                }
                Serve(c);
                std::lock_guard<std::mutex> hold(FLock);
                FServing = nullptr;
                FIdle.notify_all();
            }
        }
    }
    static void Serve(TWebsocketClient* c) {
        std::unique_lock<std::recursive_mutex> client(c->FLock, std::try_to_lock);
        if (!client) return;  // busy on another thread: next pass
        try {
            c->ProcessInput();
            c->CheckFrameDeadline();
            c->KeepAlive();
        } catch (const EWebsocketError& e) {
            // The peer learns why (1002, or 1009 for what the bounds refuse), then a clean start.
            c->SendCloseCode(e.CloseCode());
            c->Reset(e.what());
        } catch (const std::exception& e) {
            c->Reset(e.what());
        }
    }
    std::mutex FLock;  // the list and FServing; never held while a client is served
    std::condition_variable FIdle;
    std::vector<TWebsocketClient*> FClients;
    TWebsocketClient* FServing = nullptr;
    std::unique_ptr<platform::sock::Poller> FPoller;
    std::thread FThread;
    bool FStop = false;
};

TWebsocketClient::TWebsocketClient(std::string host, uint16_t port, std::string resourceName, bool tls,
                                   Options options)
    : FHost(std::move(host)),
      FResourceName(std::move(resourceName)),
      FPort(port),
      FTls(tls),
      FOptions(std::move(options)),
      FHandlers(std::make_shared<Handlers>()),
      FReader(FOptions.limits) {}

TWebsocketClient::TWebsocketClient(std::string host, uint16_t port, std::string resourceName, bool tls)
    : TWebsocketClient(std::move(host), port, std::move(resourceName), tls, Options{}) {}

TWebsocketClient::~TWebsocketClient() {
    TWsReader::Instance().Remove(this);
    {
        // Messages still queued for this client are dropped.
        std::lock_guard<std::mutex> hold(FHandlers->lock);
        FHandlers->onData = nullptr;
        FHandlers->onText = nullptr;
        FHandlers->onConnected = nullptr;
        FHandlers->onDisconnected = nullptr;
    }
    // A handler already running finishes before its owner may go.
    WaitForDeliveries();
    std::lock_guard<std::recursive_mutex> hold(FLock);
    FIsWebsocket = false;
    if (FStream) FStream->Close();
}

void TWebsocketClient::OnBinData(TDataHandler h) {
    std::lock_guard<std::mutex> hold(FHandlers->lock);
    FHandlers->onData = std::move(h);
}
void TWebsocketClient::OnTextData(TTextHandler h) {
    std::lock_guard<std::mutex> hold(FHandlers->lock);
    FHandlers->onText = std::move(h);
}
void TWebsocketClient::OnConnected(TEventHandler h) {
    std::lock_guard<std::mutex> hold(FHandlers->lock);
    FHandlers->onConnected = std::move(h);
}
void TWebsocketClient::OnDisconnected(TEventHandler h) {
    std::lock_guard<std::mutex> hold(FHandlers->lock);
    FHandlers->onDisconnected = std::move(h);
}

// What a queued message holds; at least 1, so a message always counts against the bounds.
size_t PayloadBytes(const std::vector<uint8_t>& v) { return std::max<size_t>(v.size(), 1); }
size_t PayloadBytes(const std::string& v) { return std::max<size_t>(v.size(), 1); }

// An event for the owner's handler, run on the delivery thread; the handler
// is taken when it runs, so a client freed meanwhile (its handlers cleared)
// gets nothing.
template <typename Handler, typename... Args>
void TWebsocketClient::Notify(Handler Handlers::*which, Args... args) {
    size_t bytes = 0;
    ((bytes += PayloadBytes(args)), ...);
    const bool queued = TWsDelivery::Instance().Post(
        [handlers = FHandlers, which, args...] {
            Handler h;
            {
                std::lock_guard<std::mutex> l(handlers->lock);
                h = (*handlers).*which;
            }
            if (h) h(args...);
        },
        bytes);
    if (!queued) TLogger::Info("Websocket message dropped: " + std::to_string(bytes) + " bytes wait for delivery already");
}

void TWebsocketClient::WaitForDeliveries(uint32_t timeoutMs) {
    TWsDelivery& d = TWsDelivery::Instance();
    if (d.OnDeliveryThread()) return;
    auto done = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto flag = std::make_shared<bool>(false);
    d.Post([done, flag] {
        std::lock_guard<std::mutex> l(done->first);
        *flag = true;
        done->second.notify_all();
    });
    std::unique_lock<std::mutex> l(done->first);
    done->second.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return *flag; });
}

void TWebsocketClient::SetStream(std::shared_ptr<TWsStream> stream) {
    if (FStream && FStream != stream) FStream->Close();
    FStream = std::move(stream);
    FOpen = FStream != nullptr;
    FFrameBegan.reset();
}

void TWebsocketClient::Connect() {
    std::lock_guard<std::recursive_mutex> hold(FLock);
    if (FStream) {
        TryUpgradeToWebsocket();
        return;
    }
    FReader.Clear();
    FIsWebsocket = false;
    FCloseSent = false;
    std::string error;
    SetStream(FOptions.open(FHost, FPort, FTls, FOptions.connectTimeoutMs, error));
    Touch();
    if (!FStream) throw EWebsocketError(error.empty() ? "Could not connect" : error);
}

bool TWebsocketClient::TryUpgradeToWebsocket(std::string* reason) {
    std::unique_lock<std::recursive_mutex> hold(FLock);
    if (FIsWebsocket) return true;
    if (!FStream) {
        if (reason) *reason = "Not connected";
        return false;
    }
    FReader.Clear();
    const std::string key = TWsHandshake::MakeKey();
    const std::string request = TWsHandshake::Request(FHost, FPort, FResourceName, key, FTls);
    std::string refusal;
    TWsHandshake head;
    try {
        if (!FStream->Write(reinterpret_cast<const uint8_t*>(request.data()), request.size(), FOptions.writeTimeoutMs))
            throw EWebsocketError("The upgrade request could not be sent");
        uint8_t buf[4096];
        const auto deadline = Clock::now() + std::chrono::milliseconds(FOptions.readTimeoutMs);
        while (!head.Complete()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            const int n = left > 0 ? FStream->Read(buf, sizeof buf, static_cast<uint32_t>(left)) : -1;
            if (n <= 0) throw EWebsocketError("No upgrade response");
            const size_t used = head.Feed(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
            // Bytes after the head are frames already.
            if (head.Complete() && used < static_cast<size_t>(n)) {
                FReader.Feed(buf + used, static_cast<size_t>(n) - used);
                FUnparsed = true;
            }
        }
        refusal = TWsHandshake::Check(head.Result(), key);
    } catch (const EWebsocketError& e) {
        refusal = e.what();
    }
    if (!refusal.empty()) {
        if (reason) *reason = refusal;
        TLogger::Fine("Websocket upgrade refused: " + refusal);
        return false;
    }
    FIsWebsocket = true;
    FCloseSent = false;
    Touch();
    FLastPing = Clock::now();
    hold.unlock();
    TWsReader::Instance().Add(this);
    Notify(&Handlers::onConnected);
    return true;
}

void TWebsocketClient::WriteData(const uint8_t* data, size_t size, TWSDataCode code, bool fin) {
    const std::vector<uint8_t> frame = EncodeClientFrame(code, data, size, MaskKey(), fin);
    std::shared_ptr<TWsStream> stream;
    {
        std::lock_guard<std::recursive_mutex> l(FLock);
        if (!FStream || !FIsWebsocket) throw EWebsocketError("Websocket not connected");
        stream = FStream;
    }
    std::lock_guard<std::mutex> hold(FWriteLock);
    if (!stream->Write(frame.data(), frame.size(), FOptions.writeTimeoutMs))
        throw EWebsocketError("Websocket write failed");
    Touch();
}

platform::sock::Socket TWebsocketClient::ReadySocket() {
    std::unique_lock<std::recursive_mutex> hold(FLock, std::try_to_lock);
    if (!hold || !FStream || !FIsWebsocket) return platform::sock::InvalidSocket;
    return FStream->Socket();
}

bool TWebsocketClient::HasPendingInput() {
    std::unique_lock<std::recursive_mutex> hold(FLock, std::try_to_lock);
    // Bytes of an unfinished frame are no reason to skip the wait: only more bytes can finish it.
    return hold && FStream && FIsWebsocket && (FUnparsed || FStream->Pending());
}

uint32_t TWebsocketClient::WaitBudgetMs() {
    std::unique_lock<std::recursive_mutex> hold(FLock, std::try_to_lock);
    if (!hold || !FFrameBegan) return FOptions.pollMs;
    const auto left = std::chrono::milliseconds(FOptions.readTimeoutMs) -
                      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *FFrameBegan);
    return static_cast<uint32_t>(std::clamp<long long>(left.count() + 1, 1, FOptions.pollMs));
}

void TWebsocketClient::CheckFrameDeadline() {
    if (!FStream || !FIsWebsocket || !FReader.HasPending()) {
        FFrameBegan.reset();
        return;
    }
    const auto now = Clock::now();
    if (!FFrameBegan) FFrameBegan = now;
    // Pings keep a connection alive, but not one whose frame stopped half-way.
    if (now - *FFrameBegan >= std::chrono::milliseconds(FOptions.readTimeoutMs))
        throw EWebsocketError("A frame did not complete within " + std::to_string(FOptions.readTimeoutMs) + " ms");
}

void TWebsocketClient::ProcessInput() {
    if (!FStream || !FIsWebsocket) return;
    // What arrived: read without waiting while there is something.
    uint8_t buf[16384];
    for (int rounds = 0; rounds < 64; ++rounds) {
        const int n = FStream->Read(buf, sizeof buf, 0);
        if (n == 0) throw EWebsocketError("Connection closed by the server");
        if (n < 0) break;
        FReader.Feed(buf, static_cast<size_t>(n));
        if (!FStream->Pending() && n < static_cast<int>(sizeof buf)) break;
    }
    FUnparsed = false;
    while (FIsWebsocket) {
        std::optional<TWsMessage> m = FReader.Next();
        if (!m) break;
        Touch();
        switch (m->code) {
            case TWSDataCode::wdcPing:
                // Answered at once, before anything later is handed on.
                WriteData(m->data.data(), m->data.size(), TWSDataCode::wdcPong);
                break;
            case TWSDataCode::wdcPong:
                break;
            case TWSDataCode::wdcClose: {
                uint16_t code = WsCloseNormal;
                if (m->data.size() >= 2) code = static_cast<uint16_t>((m->data[0] << 8) | m->data[1]);
                TLogger::Fine("Websocket closed by the server with code " + std::to_string(code));
                AnswerClose();
                Notify(&Handlers::onDisconnected);
                return;
            }
            case TWSDataCode::wdcBinary:
                Notify(&Handlers::onData, std::move(m->data));
                break;
            case TWSDataCode::wdcText:
                Notify(&Handlers::onText, std::string(m->data.begin(), m->data.end()));
                break;
            default:
                break;
        }
    }
}

void TWebsocketClient::KeepAlive() {
    const auto now = Clock::now();
    if (FStream && FIsWebsocket) {
        if (now - FLastPing >= std::chrono::milliseconds(FOptions.pingAfterMs)) {
            FLastPing = now;
            Ping();
        }
        return;
    }
    // Lost: a new connection and upgrade once it has been quiet for a while.
    if (now - FLastActivity.load() < std::chrono::milliseconds(FOptions.reconnectAfterMs) || FHost.empty() || !FPort)
        return;
    Touch();
    try {
        SetStream(nullptr);
        Connect();
        TryUpgradeToWebsocket();
    } catch (const std::exception& e) {
        TLogger::Fine(std::string("Websocket reconnect failed: ") + e.what());
    }
}

bool TWebsocketClient::SendCloseCode(uint16_t code, const std::string& reason) {
    if (!FStream || !FIsWebsocket || FCloseSent) return false;
    if (code < 1000) code = WsCloseNormal;
    std::vector<uint8_t> payload{static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
    payload.insert(payload.end(), reason.begin(), reason.begin() + std::min<size_t>(reason.size(), 123));
    try {
        WriteData(payload.data(), payload.size(), TWSDataCode::wdcClose);
        FCloseSent = true;
    } catch (const std::exception&) {
    }
    return FCloseSent;
}

void TWebsocketClient::Reset(const std::string& why) {
    TLogger::Fine("Websocket reset: " + why);
    FReader.Clear();
    const bool was = FIsWebsocket.exchange(false);
    SetStream(nullptr);
    Touch();
    if (was) Notify(&Handlers::onDisconnected);
}

void TWebsocketClient::AnswerClose() {
    SendCloseCode(WsCloseNormal);
    FIsWebsocket = false;
    SetStream(nullptr);
    Touch();
}

void TWebsocketClient::Close(uint16_t code, const std::string& reason) {
    std::lock_guard<std::recursive_mutex> hold(FLock);
    if (SendCloseCode(code, reason)) {
        // The peer's answer, or a second of silence.
        uint8_t buf[1024];
        while (FStream->Read(buf, sizeof buf, 1000) > 0) {
        }
    }
    FIsWebsocket = false;
    SetStream(nullptr);
}

void TWebsocketClient::Disconnect() {
    TWsReader::Instance().Remove(this);
    std::lock_guard<std::recursive_mutex> hold(FLock);
    FIsWebsocket = false;
    SetStream(nullptr);
}

}  // namespace qz
