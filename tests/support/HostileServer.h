#pragma once
// A TCP server on loopback that misbehaves on purpose: each accepted
// connection's request is read, then the test's script decides what the
// client gets. Sockets through the HTTP library's portable helpers, so the
// same test runs natively and under wine64.
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <httplib.h>

namespace qztest {

class HostileConnection {
public:
    HostileConnection(socket_t sock, const std::atomic<bool>& stopping, std::string request = {})
        : sock_(sock), stopping_(stopping), request_(std::move(request)) {}
    // The request head the client sent.
    const std::string& Request() const { return request_; }
    // false once the peer is gone or the server stops.
    bool Send(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            if (stopping_) return false;
            if (httplib::detail::select_write(sock_, 0, 100000) <= 0) continue;
            const ssize_t n = httplib::detail::send_socket(sock_, data.data() + done, data.size() - done, 0);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // What the client sent next: bytes read, 0 when it closed, -1 when nothing came within timeoutMs.
    int Receive(char* buf, size_t size, int timeoutMs) {
        if (httplib::detail::select_read(sock_, timeoutMs / 1000, (timeoutMs % 1000) * 1000) <= 0) return -1;
        const ssize_t n = httplib::detail::read_socket(sock_, buf, size, 0);
        return n < 0 ? -1 : static_cast<int>(n);
    }
    // Waits, but ends early when the server stops; false then.
    bool Pause(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (stopping_) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return !stopping_;
    }
    // Ends the connection with a reset instead of an orderly close.
    void Reset() {
        struct linger lin;
        lin.l_onoff = 1;
        lin.l_linger = 0;
        setsockopt(sock_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lin), sizeof lin);
    }
    bool Stopping() const { return stopping_; }

private:
    socket_t sock_;
    const std::atomic<bool>& stopping_;
    std::string request_;
};

class HostileServer {
public:
    using Script = std::function<void(HostileConnection&)>;

    explicit HostileServer(Script script) : script_(std::move(script)) {
        listen_ = httplib::detail::create_socket(
            "127.0.0.1", std::string(), 0, AF_INET, AI_PASSIVE, false, nullptr,
            [](socket_t s, struct addrinfo& ai) -> bool {
                if (::bind(s, ai.ai_addr, static_cast<socklen_t>(ai.ai_addrlen))) return false;
                return ::listen(s, 16) == 0;
            });
        std::string ip;
        httplib::detail::get_local_ip_and_port(listen_, ip, port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~HostileServer() {
        stopping_ = true;
        thread_.join();
        httplib::detail::close_socket(listen_);
    }
    int Port() const { return port_; }
    std::string Url(const std::string& scheme = "http") const {
        return scheme + "://127.0.0.1:" + std::to_string(port_) + "/server/guard";
    }
    int Accepted() const { return accepted_; }

private:
    void Run() {
        while (!stopping_) {
            if (httplib::detail::select_read(listen_, 0, 100000) <= 0) continue;
            const socket_t s = ::accept(listen_, nullptr, nullptr);
            if (s == INVALID_SOCKET) continue;
            ++accepted_;
            HostileConnection conn(s, stopping_, ReadRequestHead(s));
            script_(conn);
            httplib::detail::close_socket(s);
        }
    }
    // Up to the blank line, or whatever came within a second.
    std::string ReadRequestHead(socket_t s) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        char buf[4096];
        while (got.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < end && !stopping_) {
            if (httplib::detail::select_read(s, 0, 50000) <= 0) continue;
            const ssize_t n = httplib::detail::read_socket(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

    Script script_;
    socket_t listen_ = INVALID_SOCKET;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

}  // namespace qztest
