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
    if (!FStartThread) FStartThread = [](std::function<void()> run) { return std::thread(std::move(run)); };
}

THttpServer::~THttpServer() { Stop(); }

void THttpServer::Log(const std::string& line) {
    if (FLog && !line.empty()) FLog(line);
}

void THttpServer::Start(uint16_t port, bool loopbackOnly) {
    if (FListener) return;
    FListener = sock::Listen(port, FLimits.Backlog, loopbackOnly);
    {
        std::lock_guard<std::mutex> g(FLock);
        FStopping = false;
    }
    FWorkers.reserve(FLimits.Workers);  // adding one never throws after its thread started
    FAcceptor = std::thread([this] { AcceptLoop(); });
}

void THttpServer::Stop() {
    if (!FListener) return;
    {
        std::lock_guard<std::mutex> g(FLock);
        FStopping = true;
        for (const TConnection& c : FWaiting) sock::Close(c.Socket);
        FWaiting.clear();
        // Workers in the middle of a read or a send return at once.
        for (sock::Socket s : FActive) sock::Shutdown(s);
    }
    FListener->Wake();
    FWork.notify_all();
    if (FAcceptor.joinable()) FAcceptor.join();
    for (auto& t : FWorkers)
        if (t.joinable()) t.join();
    FWorkers.clear();
    FIdle = 0;
    FPerPeer.clear();
    FListener.reset();
}

void THttpServer::AcceptLoop() {
    for (;;) {
        std::string peer;
        sock::Socket s = FListener->Accept(24u * 3600 * 1000, peer);
        std::unique_lock<std::mutex> g(FLock);
        if (FStopping) {
            sock::Close(s);
            return;
        }
        if (s == sock::InvalidSocket) continue;
        const auto deadline = Clock::now() + std::chrono::milliseconds(FLimits.HeadTimeoutMs);
        const std::string line = Admit({s, std::move(peer), deadline});
        g.unlock();
        FWork.notify_one();
        Log(line);
    }
}

std::string THttpServer::Admit(TConnection c) {
    size_t& held = FPerPeer[c.Peer];
    if (held >= FLimits.MaxPerPeer) {
        sock::Close(c.Socket);
        const uint64_t n = ++FOverPeerCap;
        return Worth(n) ? "Command port: connection from " + c.Peer + " refused, it holds " + std::to_string(held) +
                              " already (" + std::to_string(n) + " refused so far)"
                        : std::string();
    }
    if (FWaiting.size() >= FLimits.MaxWaiting) {
        // Turned away at once: a flood must not pile up sockets or threads.
        if (held == 0) FPerPeer.erase(c.Peer);
        sock::Close(c.Socket);
        const uint64_t n = ++FTurnedAway;
        return Worth(n) ? "Command port busy: connection refused (" + std::to_string(n) + " so far)" : std::string();
    }
    ++held;
    FWaiting.push_back(std::move(c));
    if (FIdle == 0 && FWorkers.size() < FLimits.Workers) {
        try {
            FWorkers.push_back(FStartThread([this] { WorkerLoop(); }));
            ++FIdle;  // counted before it runs, so a burst starts one worker per connection at most
        } catch (const std::exception& e) {
            std::string line = std::string("Command port: a worker could not start: ") + e.what();
            if (FWorkers.empty()) {
                // Nobody would ever serve it; the next connection tries again.
                sock::Close(FWaiting.back().Socket);
                Release(FWaiting.back().Peer);
                FWaiting.pop_back();
                line += "; connection dropped";
            }
            return line;
        }
    }
    return {};
}

void THttpServer::Release(const std::string& peer) {
    const auto it = FPerPeer.find(peer);
    if (it != FPerPeer.end() && --it->second == 0) FPerPeer.erase(it);
}

void THttpServer::WorkerLoop() {
    std::unique_lock<std::mutex> g(FLock);
    for (;;) {
        FWork.wait(g, [this] { return FStopping || !FWaiting.empty(); });
        if (FStopping) return;
        const TConnection c = std::move(FWaiting.front());
        FWaiting.pop_front();
        --FIdle;
        FActive.insert(c.Socket);
        g.unlock();
        try {
            Serve(c);
        } catch (...) {
            // Nothing a request does may end the worker.
        }
        g.lock();
        FActive.erase(c.Socket);
        Release(c.Peer);
        ++FIdle;
        sock::Close(c.Socket);
    }
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

void THttpServer::Serve(const TConnection& c) {
    const sock::Socket s = c.Socket;
    const auto deadline = Clock::now() + std::chrono::milliseconds(FLimits.RequestTimeoutMs);
    // How long the next read may wait; 0 once `until` is past, which still
    // takes what has arrived (a head that waited its time in the queue may
    // be whole).
    auto wait = [&](Clock::time_point until) -> uint32_t {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return 0;
        return static_cast<uint32_t>(left < FLimits.ReadTimeoutMs ? left : FLimits.ReadTimeoutMs);
    };
    auto reply = [&](int status, const std::string& body, bool withBody) {
        std::string out = StatusHead(status, body.size(), true);
        if (withBody) out += body;
        sock::SendAll(s, out.data(), out.size(), FLimits.SendTimeoutMs);
    };

    std::string data;
    char buf[16384];
    THttpRequest request;
    size_t headEnd = 0, bodyLength = 0;
    bool expectContinue = false;
    std::string why;
    for (;;) {
        const ParseState state = ParseHead(data, FLimits, request, headEnd, bodyLength, expectContinue, why);
        if (state == ParseState::Refused) {
            Log("Command port request refused: " + why);
            return;
        }
        if (state == ParseState::BadRequest) return reply(400, {}, false);
        if (state == ParseState::Unauthorized) return reply(401, {}, false);
        if (state == ParseState::Complete) break;
        const int n = sock::Receive(s, buf, sizeof buf, wait(std::min(c.HeadDeadline, deadline)));
        if (n <= 0) return;
        data.append(buf, static_cast<size_t>(n));
    }
    // What came after the head belongs to the body (one request per connection).
    request.Body = data.substr(headEnd, bodyLength);
    data.clear();
    data.shrink_to_fit();
    if (request.Body.size() < bodyLength) {
        if (expectContinue) {
            const std::string go = StatusHead(100, 0, false);
            if (!sock::SendAll(s, go.data(), go.size(), FLimits.SendTimeoutMs)) return;
        }
        request.Body.reserve(bodyLength);
        while (request.Body.size() < bodyLength) {
            const size_t want = bodyLength - request.Body.size();
            const int n = sock::Receive(s, buf, want < sizeof buf ? want : sizeof buf, wait(deadline));
            if (n <= 0) return;  // a body that stops short gets no reply
            request.Body.append(buf, static_cast<size_t>(n));
        }
    }
    request.Peer = c.Peer;
    const THttpResponse response = FHandler(request);
    reply(response.Status, response.Body, request.Method != "HEAD");
}

}  // namespace qz
