#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
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
    size_t MaxBodyBytes = 16u << 20;
    uint32_t ReadTimeoutMs = 5000;       // silence while a request arrives
    uint32_t RequestTimeoutMs = 60000;   // the whole request, however it trickles in
    uint32_t SendTimeoutMs = 60000;
    unsigned Workers = 4;                // started as connections come, kept till Stop
    size_t MaxWaiting = 32;              // accepted connections waiting for a worker
    int Backlog = 64;
};

// A small HTTP/1.1 server: one thread accepts, a few workers serve. A flood
// is turned away at the door (closed at once) instead of queuing without
// bound, and no request can hold a worker past its time-outs.
class THttpServer {
public:
    using Handler = std::function<THttpResponse(const THttpRequest&)>;
    // Refusals and dropped connections are reported through the log hook.
    THttpServer(Handler handler, THttpLimits limits = {}, std::function<void(const std::string&)> log = {});
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
    void AcceptLoop();
    void WorkerLoop();
    void Serve(platform::sock::Socket s);
    void Log(const std::string& line);

    Handler FHandler;
    THttpLimits FLimits;
    std::function<void(const std::string&)> FLog;
    std::unique_ptr<platform::sock::Listener> FListener;
    std::thread FAcceptor;
    std::vector<std::thread> FWorkers;
    std::mutex FLock;
    std::condition_variable FWork;
    std::deque<platform::sock::Socket> FWaiting;
    std::set<platform::sock::Socket> FActive;
    unsigned FIdle = 0;
    bool FStopping = false;
    uint64_t FTurnedAway = 0;
};

}  // namespace qz
