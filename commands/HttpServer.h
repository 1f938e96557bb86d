#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Sockets.h"

namespace qz {

// One HTTP request as the command port sees it.
struct THttpRequest {
    std::string Method;
    std::string Target;                        // as sent: path and query
    std::string Query;                         // after "?", still encoded
    std::string ContentType;
    std::optional<std::string> Authorization;  // the header's value, when sent
    std::string Body;
    std::string Peer;                          // the client's numeric address
};

struct THttpResponse {
    int Status = 200;
    std::string Body;
};

// What anyone on the network may cost us. Each connection carries one
// request; everything beyond these ends the connection without a reply.
struct THttpLimits {
    size_t MaxHeaderBytes = 16 * 1024;   // request line and headers together
    size_t MaxHeaderCount = 64;
    // The largest command the guard server sends is about 100 KB (a long
    // process list, a state full of application templates).
    size_t MaxBodyBytes = 1u << 20;
    // The whole head, from accept (waiting for a worker included), however
    // it drips in: slow heads can't hold the workers.
    uint32_t HeadTimeoutMs = 5000;
    uint32_t ReadTimeoutMs = 5000;       // silence while a request arrives
    uint32_t RequestTimeoutMs = 60000;   // the whole request, however it trickles in
    uint32_t SendTimeoutMs = 60000;
    unsigned Workers = 4;                // started as connections come, kept till Stop
    size_t MaxWaiting = 32;              // accepted connections waiting for a worker
    // Connections one address may hold (served or waiting), so a flood from
    // some peers leaves room for the others.
    size_t MaxPerPeer = 4;
    int Backlog = 64;
};

// A small HTTP/1.1 server: one thread accepts, a few workers serve. A flood
// is turned away at the door (closed at once) instead of queuing without
// bound, and no request can hold a worker past its time-outs.
class THttpServer {
public:
    using Handler = std::function<THttpResponse(const THttpRequest&)>;
    // Starts a worker thread; tests put a failing one in.
    using ThreadStarter = std::function<std::thread(std::function<void()>)>;
    // Refusals and dropped connections are reported through the log hook.
    THttpServer(Handler handler, THttpLimits limits = {}, std::function<void(const std::string&)> log = {},
                ThreadStarter startThread = {});
    ~THttpServer();
    THttpServer(const THttpServer&) = delete;
    THttpServer& operator=(const THttpServer&) = delete;

    // Raises platform::SystemError when the port can't be had.
    void Start(uint16_t port, bool loopbackOnly = false);
    // Closes the listener and the open connections; waits for the workers.
    void Stop();
    bool Listening() const { return FListener != nullptr; }
    uint16_t Port() const { return FListener ? FListener->Port() : 0; }

    // Parses one request out of what a connection sent (tests and fuzzing).
    // Missing: needs more bytes; Refused: end the connection without reply;
    // otherwise the request, and how many bytes it took.
    enum class ParseState { Missing, Refused, BadRequest, Unauthorized, Complete };
    static ParseState ParseHead(const std::string& data, const THttpLimits& limits, THttpRequest& request,
                                size_t& headEnd, size_t& bodyLength, bool& expectContinue, std::string& why);

private:
    using Clock = std::chrono::steady_clock;
    struct TConnection {
        platform::sock::Socket Socket;
        std::string Peer;
        Clock::time_point HeadDeadline;
    };
    void AcceptLoop();
    // Admits a new connection; what to log when it was refused or dropped. Under FLock.
    std::string Admit(TConnection c);
    void WorkerLoop();
    void Serve(const TConnection& c);
    // Forgets a connection's place in its peer's count. Under FLock.
    void Release(const std::string& peer);
    void Log(const std::string& line);

    Handler FHandler;
    THttpLimits FLimits;
    std::function<void(const std::string&)> FLog;
    ThreadStarter FStartThread;
    std::unique_ptr<platform::sock::Listener> FListener;
    std::thread FAcceptor;
    std::vector<std::thread> FWorkers;
    std::mutex FLock;
    std::condition_variable FWork;
    std::deque<TConnection> FWaiting;
    std::set<platform::sock::Socket> FActive;
    std::map<std::string, size_t> FPerPeer;
    unsigned FIdle = 0;
    bool FStopping = false;
    uint64_t FTurnedAway = 0;
    uint64_t FOverPeerCap = 0;
};

}  // namespace qz
