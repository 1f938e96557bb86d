#include "commands/HttpServer.h"

#include <algorithm>
#include <chrono>

#include "common/Text.h"

namespace qz {

namespace sock = platform::sock;

namespace {

const char* Reason(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 501: return "Not Implemented";
        default: return "Status";
    }
}

std::string StatusHead(int status, size_t contentLength, bool withLength) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    if (withLength) head += "Content-Length: " + std::to_string(contentLength) + "\r\nConnection: close\r\n";
    return head + "\r\n";
}

bool IsToken(const std::string& s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (c <= 32 || c >= 127 || c == ':' || c == '(' || c == ')' || c == ',' || c == ';' || c == '"' ||
            c == '/' || c == '[' || c == ']' || c == '?' || c == '=' || c == '{' || c == '}' || c == '\\' ||
            c == '<' || c == '>' || c == '@')
            return false;
    return true;
}

std::string TrimSpaces(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// 1, 2, 4, 8...: a flood can't flood the log as well.
bool Worth(uint64_t n) { return (n & (n - 1)) == 0; }

}  // namespace

THttpServer::THttpServer(Handler handler, THttpLimits limits, std::function<void(const std::string&)> log,
                         ThreadStarter startThread)
    : FHandler(std::move(handler)), FLimits(limits), FLog(std::move(log)), FStartThread(std::move(startThread)) {
    if (FLimits.Workers == 0) FLimits.Workers = 1;
    if (FLimits.MaxPerPeer == 0) FLimits.MaxPerPeer = 1;
    if (FLimits.MaxPending == 0) FLimits.MaxPending = 1;
    if (!FStartThread) FStartThread = [](std::function<void()> run) { return std::thread(std::move(run)); };
}

THttpServer::~THttpServer() { Stop(); }

void THttpServer::Log(const std::string& line) {
    if (FLog && !line.empty()) FLog(line);
}

void THttpServer::Start(uint16_t port, bool loopbackOnly) {
    if (FListener) return;
    FPoller = sock::MakePoller();
    FListener = sock::Listen(port, FLimits.Backlog, loopbackOnly);
    {
        std::lock_guard<std::mutex> g(FLock);
        FStopping = false;
    }
    FAcceptor = std::thread([this] { AcceptLoop(); });
}

void THttpServer::Stop() {
    if (!FListener) return;
    {
        std::lock_guard<std::mutex> g(FLock);
        FStopping = true;
        for (const TReady& r : FWaiting) sock::Close(r.Socket);
        FWaiting.clear();
        // Workers in the middle of a send return at once.
        for (sock::Socket s : FActive) sock::Shutdown(s);
    }
    FPoller->Wake();
    if (FAcceptor.joinable()) FAcceptor.join();
    // No worker starts once the acceptor is gone.
    for (auto& w : FWorkers)
        if (w->Thread.joinable()) w->Thread.join();
    FWorkers.clear();
    FLive = FFree = 0;
    FPerPeer.clear();
    FListener.reset();
    FPoller.reset();
}

void THttpServer::AcceptLoop() {
    const sock::Socket listener = FListener->Handle();
    std::vector<sock::Socket> sockets;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(FLock);
            if (FStopping) break;
        }
        // One wait on the listener and every request still arriving, up to the nearest deadline.
        sockets.assign(1, listener);
        auto next = Clock::time_point::max();
        for (const TArriving& a : FArriving) {
            sockets.push_back(a.Socket);
            next = std::min({next, a.Quiet, a.Deadline, a.HeadDone ? a.Deadline : a.HeadDeadline});
        }
        uint32_t waitMs = 24u * 3600 * 1000;
        if (next != Clock::time_point::max()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
            waitMs = static_cast<uint32_t>(std::clamp<long long>(left, 0, waitMs));
        }
        const std::vector<sock::Socket> ready = FPoller->Wait(sockets, waitMs);
        {
            std::lock_guard<std::mutex> g(FLock);
            if (FStopping) break;
        }
        const auto isReady = [&](sock::Socket s) { return std::find(ready.begin(), ready.end(), s) != ready.end(); };
        const auto now = Clock::now();
        for (size_t i = 0; i < FArriving.size();) {
            TArriving& a = FArriving[i];
            Progress p = isReady(a.Socket) ? Read(a) : Progress::Arriving;
            if (p == Progress::Arriving) {
                if (!a.HeadDone && now >= a.HeadDeadline) {
                    Drop(a, "no whole head within " + std::to_string(FLimits.HeadTimeoutMs) + " ms");
                    p = Progress::Done;
                } else if (now >= a.Deadline || now >= a.Quiet) {
                    Drop(a, "no whole request in time");
                    p = Progress::Done;
                }
            }
            if (p == Progress::Ready) {
                Dispatch(a);
                p = Progress::Done;
            }
            if (p == Progress::Done) {
                FBuffered -= a.Data.size();
                if (i + 1 != FArriving.size()) FArriving[i] = std::move(FArriving.back());
                FArriving.pop_back();
                continue;
            }
            ++i;
        }
        // Past the memory bound the largest goes first: real commands are small and quick.
        while (FBuffered > FLimits.MaxBufferedBytes && !FArriving.empty()) {
            auto largest = std::max_element(FArriving.begin(), FArriving.end(), [](const TArriving& x, const TArriving& y) {
                return x.Data.size() < y.Data.size();
            });
            Drop(*largest, "over the bound on bytes still arriving");
            FBuffered -= largest->Data.size();
            *largest = std::move(FArriving.back());
            FArriving.pop_back();
        }
        if (isReady(listener)) AcceptWaiting();
    }
    for (TArriving& a : FArriving) Drop(a, "");
    FArriving.clear();
    FBuffered = 0;
}

void THttpServer::AcceptWaiting() {
    // A burst at a time, so the requests already arriving get their turn too.
    for (int i = 0; i < 64; ++i) {
        std::string peer;
        const sock::Socket s = FListener->Accept(0, peer);
        if (s == sock::InvalidSocket) return;
        std::string line;
        bool admitted = false;
        {
            std::lock_guard<std::mutex> g(FLock);
            size_t& held = FPerPeer[peer];
            if (held >= FLimits.MaxPerPeer) {
                const uint64_t n = ++FOverPeerCap;
                if (Worth(n))
                    line = "Command port: connection from " + peer + " refused, it holds " + std::to_string(held) +
                           " already (" + std::to_string(n) + " refused so far)";
            } else if (FArriving.size() >= FLimits.MaxPending) {
                if (held == 0) FPerPeer.erase(peer);
                const uint64_t n = ++FTurnedAway;
                if (Worth(n)) line = "Command port busy: connection refused (" + std::to_string(n) + " so far)";
            } else {
                ++held;
                admitted = true;
            }
        }
        if (!admitted) {
            sock::Close(s);
            Log(line);
            continue;
        }
        const auto now = Clock::now();
        TArriving a;
        a.Socket = s;
        a.Peer = std::move(peer);
        a.HeadDeadline = now + std::chrono::milliseconds(FLimits.HeadTimeoutMs);
        a.Deadline = now + std::chrono::milliseconds(FLimits.RequestTimeoutMs);
        a.Quiet = now + std::chrono::milliseconds(FLimits.ReadTimeoutMs);
        FArriving.push_back(std::move(a));
    }
}

THttpServer::Progress THttpServer::Read(TArriving& a) {
    char buf[16384];
    const size_t want = a.HeadDone ? std::min(sizeof buf, a.HeadEnd + a.BodyLength - a.Data.size()) : sizeof buf;
    const int n = sock::Receive(a.Socket, buf, want, 0);
    if (n <= 0) {
        Drop(a, "");  // gone, or a body that stops short: no reply
        return Progress::Done;
    }
    const size_t scanFrom = a.Data.size() < 3 ? 0 : a.Data.size() - 3;
    a.Data.append(buf, static_cast<size_t>(n));
    FBuffered += static_cast<size_t>(n);
    a.Quiet = Clock::now() + std::chrono::milliseconds(FLimits.ReadTimeoutMs);
    if (!a.HeadDone) {
        // Parsed once the head is whole (or too long), not on every byte a slow sender drips.
        if (a.Data.find("\r\n\r\n", scanFrom) == std::string::npos && a.Data.size() <= FLimits.MaxHeaderBytes)
            return Progress::Arriving;
        std::string why;
        switch (ParseHead(a.Data, FLimits, a.Request, a.HeadEnd, a.BodyLength, a.ExpectContinue, why)) {
            case ParseState::Missing: return Progress::Arriving;
            case ParseState::Refused: Drop(a, "Command port request refused: " + why); return Progress::Done;
            case ParseState::BadRequest:
                Reply(a.Socket, 400, {}, false, 1000);
                Drop(a, "");
                return Progress::Done;
            case ParseState::Unauthorized:
                Reply(a.Socket, 401, {}, false, 1000);
                Drop(a, "");
                return Progress::Done;
            case ParseState::Complete: a.HeadDone = true; break;
        }
    }
    if (a.Data.size() >= a.HeadEnd + a.BodyLength) return Progress::Ready;
    if (a.ExpectContinue && !a.ContinueSent) {
        a.ContinueSent = true;
        const std::string go = StatusHead(100, 0, false);
        if (!sock::SendAll(a.Socket, go.data(), go.size(), 1000)) {
            Drop(a, "");
            return Progress::Done;
        }
    }
    return Progress::Arriving;
}

void THttpServer::Drop(TArriving& a, const std::string& why) {
    std::string line;
    {
        std::lock_guard<std::mutex> g(FLock);
        Release(a.Peer);
        if (!why.empty()) {
            const uint64_t n = ++FDropped;
            if (Worth(n)) {
                line = why.rfind("Command port", 0) == 0 ? why : "Command port: connection from " + a.Peer + " dropped, " + why;
                if (n > 1) line += " (" + std::to_string(n) + " dropped so far)";
            }
        }
    }
    // Logged before the peer sees the close, so what it did is on record when it notices.
    Log(line);
    sock::Close(a.Socket);
}

void THttpServer::Reply(sock::Socket s, int status, const std::string& body, bool withBody, uint32_t timeoutMs) {
    std::string out = StatusHead(status, body.size(), true);
    if (withBody) out += body;
    sock::SendAll(s, out.data(), out.size(), timeoutMs);
}

void THttpServer::Dispatch(TArriving& a) {
    TReady r{a.Socket, a.Peer, std::move(a.Request)};
    r.Request.Body = a.Data.substr(a.HeadEnd, a.BodyLength);
    r.Request.Peer = a.Peer;
    std::string line;
    {
        std::lock_guard<std::mutex> g(FLock);
        if (FWaiting.size() >= FLimits.MaxWaiting) {
            sock::Close(r.Socket);
            Release(r.Peer);
            const uint64_t n = ++FTurnedAway;
            if (Worth(n)) line = "Command port busy: request dropped (" + std::to_string(n) + " so far)";
        } else {
            FWaiting.push_back(std::move(r));
            if (FWaiting.size() > FFree && FLive < FLimits.Workers) {
                try {
                    auto w = std::make_unique<TWorker>();
                    TWorker& mine = *w;
                    FWorkers.push_back(std::move(w));
                    try {
                        mine.Thread = FStartThread([this, &mine] { WorkerLoop(mine); });
                    } catch (...) {
                        FWorkers.pop_back();
                        throw;
                    }
                    // Counted before it runs, so a burst starts one worker per request at most.
                    ++FLive;
                    ++FFree;
                } catch (const std::exception& e) {
                    line = std::string("Command port: a worker could not start: ") + e.what();
                    if (FLive == 0) {
                        // Nobody would ever serve it; the next request tries again.
                        sock::Close(FWaiting.back().Socket);
                        Release(FWaiting.back().Peer);
                        FWaiting.pop_back();
                        line += "; connection dropped";
                    }
                }
            }
        }
    }
    JoinEnded();
    Log(line);
}

void THttpServer::JoinEnded() {
    std::vector<std::unique_ptr<TWorker>> ended;
    {
        std::lock_guard<std::mutex> g(FLock);
        for (auto it = FWorkers.begin(); it != FWorkers.end();) {
            if ((*it)->Ended) {
                ended.push_back(std::move(*it));
                it = FWorkers.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Their loops returned: each join waits only for a thread's own end.
    for (auto& w : ended)
        if (w->Thread.joinable()) w->Thread.join();
}

void THttpServer::Release(const std::string& peer) {
    const auto it = FPerPeer.find(peer);
    if (it != FPerPeer.end() && --it->second == 0) FPerPeer.erase(it);
}

void THttpServer::WorkerLoop(TWorker& w) {
    std::unique_lock<std::mutex> g(FLock);
    // Serves while requests wait, then ends: a worker waiting for work would
    // cost a thread at rest.
    while (!FStopping && !FWaiting.empty()) {
        TReady r = std::move(FWaiting.front());
        FWaiting.pop_front();
        --FFree;
        FActive.insert(r.Socket);
        g.unlock();
        try {
            Serve(r);
        } catch (...) {
            // Nothing a request does may end the worker.
        }
        g.lock();
        FActive.erase(r.Socket);
        Release(r.Peer);
        ++FFree;
        sock::Close(r.Socket);
    }
    --FFree;
    --FLive;
    w.Ended = true;
}

void THttpServer::Serve(TReady& r) {
    const THttpResponse response = FHandler(r.Request);
    Reply(r.Socket, response.Status, response.Body, r.Request.Method != "HEAD", FLimits.SendTimeoutMs);
}

THttpServer::ParseState THttpServer::ParseHead(const std::string& data, const THttpLimits& limits,
                                               THttpRequest& request, size_t& headEnd, size_t& bodyLength,
                                               bool& expectContinue, std::string& why) {
    const size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (data.size() > limits.MaxHeaderBytes) {
            why = "headers longer than " + std::to_string(limits.MaxHeaderBytes) + " bytes";
            return ParseState::Refused;
        }
        return ParseState::Missing;
    }
    if (end + 4 > limits.MaxHeaderBytes) {
        why = "headers longer than " + std::to_string(limits.MaxHeaderBytes) + " bytes";
        return ParseState::Refused;
    }
    headEnd = end + 4;
    bodyLength = 0;
    expectContinue = false;
    request = THttpRequest();

    size_t lineEnd = data.find("\r\n");
    const std::string line = data.substr(0, lineEnd);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos) return ParseState::BadRequest;
    request.Method = line.substr(0, sp1);
    request.Target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string version = line.substr(sp2 + 1);
    if (!IsToken(request.Method) || request.Target.empty() || version.rfind("HTTP/1.", 0) != 0)
        return ParseState::BadRequest;
    for (unsigned char c : request.Target)
        if (c <= 32 || c == 127) return ParseState::BadRequest;
    const size_t q = request.Target.find('?');
    if (q != std::string::npos) {
        request.Query = request.Target.substr(q + 1);
        const size_t hash = request.Query.find('#');
        if (hash != std::string::npos) request.Query.resize(hash);
    }

    std::optional<std::string> contentLength;
    size_t count = 0;
    for (size_t pos = lineEnd + 2; pos < end + 2;) {
        const size_t next = data.find("\r\n", pos);
        const std::string h = data.substr(pos, next - pos);
        pos = next + 2;
        if (++count > limits.MaxHeaderCount) {
            why = "more than " + std::to_string(limits.MaxHeaderCount) + " headers";
            return ParseState::Refused;
        }
        const size_t colon = h.find(':');
        if (colon == std::string::npos || !IsToken(h.substr(0, colon))) return ParseState::BadRequest;
        const std::string name = AsciiLower(h.substr(0, colon));
        const std::string value = TrimSpaces(h.substr(colon + 1));
        if (name == "content-length") {
            if (value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos ||
                (contentLength && *contentLength != value))
                return ParseState::BadRequest;
            contentLength = value;
        } else if (name == "transfer-encoding") {
            why = "transfer encoding " + value;
            return ParseState::Refused;
        } else if (name == "content-type") {
            request.ContentType = value;
        } else if (name == "authorization") {
            request.Authorization = value;
        } else if (name == "expect") {
            expectContinue = AsciiLower(value) == "100-continue";
        }
    }
    if (contentLength) {
        const unsigned long long n = std::stoull(*contentLength);
        if (n > limits.MaxBodyBytes) {
            why = "a body of " + *contentLength + " bytes";
            return ParseState::Refused;
        }
        bodyLength = static_cast<size_t>(n);
    }
    if (request.Authorization) {
        const std::string& a = *request.Authorization;
        const std::string scheme = AsciiLower(a.substr(0, a.find(' ')));
        if (scheme != "basic") return ParseState::Unauthorized;
    }
    return ParseState::Complete;
}

}  // namespace qz
