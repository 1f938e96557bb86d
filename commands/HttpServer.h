#pragma once
#include <atomic>
#include <chrono>
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
    // From accept: the head, and the whole request, however they drip in.
    uint32_t HeadTimeoutMs = 5000;
    uint32_t RequestTimeoutMs = 10000;
    uint32_t ReadTimeoutMs = 5000;       // silence while a request arrives
    uint32_t SendTimeoutMs = 60000;
    unsigned Workers = 4;                // at most, each only while requests wait for it
    // Connections whose requests are still arriving: read all at once by the
    // acceptor, so slow ones hold no worker.
    size_t MaxPending = 256;
    size_t MaxBufferedBytes = 32u << 20; // what they have sent so far, together
    size_t MaxWaiting = 32;              // whole requests waiting for a worker
    // Connections one address may hold (arriving, waiting or served), so a
    // flood from some peers leaves room for the others.
    size_t MaxPerPeer = 4;
    int Backlog = 64;
};

// A small HTTP/1.1 server. One thread accepts and reads every request as it
// arrives (one wait on all of them); a few workers run whole requests and
// send the replies. A worker ends when no request waits: at rest the server
// holds one thread. A flood is turned away at the door (closed at once)
// instead of queuing without bound, slow senders hold nothing but their own
// socket, and no request outlives its time-outs.
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
    // Closes the listener and the open connections; joins every thread.
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
    // A connection whose request is still arriving (the acceptor's own).
    struct TArriving {
        platform::sock::Socket Socket;
        std::string Peer;
        Clock::time_point HeadDeadline, Deadline, Quiet;  // Quiet: last bytes plus the read time-out
        std::string Data;
        bool HeadDone = false, ContinueSent = false;
        THttpRequest Request;
        size_t HeadEnd = 0, BodyLength = 0;
        bool ExpectContinue = false;
    };
    // A whole request for a worker.
    struct TReady {
        platform::sock::Socket Socket;
        std::string Peer;
        THttpRequest Request;
    };
    enum class Progress { Arriving, Ready, Done };
    void AcceptLoop();
    void AcceptWaiting();
    // Reads what arrived; what is to become of the connection.
    Progress Read(TArriving& a);
    void Drop(TArriving& a, const std::string& why);
    void Reply(platform::sock::Socket s, int status, const std::string& body, bool withBody, uint32_t timeoutMs);
    // Hands a whole request to a worker, or turns it away when too many wait.
    void Dispatch(TArriving& a);
    struct TWorker {
        std::thread Thread;
        bool Ended = false;  // under FLock: its loop returned, the thread is only finishing
    };
    void WorkerLoop(TWorker& w);
    // Joins the workers whose loops returned; on the acceptor or in Stop.
    void JoinEnded();
    void Serve(TReady& r);
    // Forgets a connection's place in its peer's count. Under FLock.
    void Release(const std::string& peer);
    void Log(const std::string& line);

    Handler FHandler;
    THttpLimits FLimits;
    std::function<void(const std::string&)> FLog;
    ThreadStarter FStartThread;
    std::unique_ptr<platform::sock::Listener> FListener;
    std::unique_ptr<platform::sock::Poller> FPoller;
    std::thread FAcceptor;
    std::vector<std::unique_ptr<TWorker>> FWorkers;  // started and not joined yet
    std::vector<TArriving> FArriving;  // the acceptor's alone
    size_t FBuffered = 0;              // bytes FArriving holds
    std::mutex FLock;
    std::deque<TReady> FWaiting;
    std::set<platform::sock::Socket> FActive;
    std::map<std::string, size_t> FPerPeer;
    unsigned FLive = 0;  // workers whose loops run
    unsigned FFree = 0;  // of those, the ones not serving: they take a waiting request before they end
    bool FStopping = false;
    uint64_t FTurnedAway = 0;
    uint64_t FOverPeerCap = 0;
    uint64_t FDropped = 0;
};

}  // namespace qz
