#include "tests/support/TestSupport.h"

#include "platform/Sockets.h"

#include "common/XmlText.h"

namespace qztest {

void MemoryHandler::Notify(const std::string& message) {
    std::lock_guard<std::mutex> lock(m_);
    // "[dd.mm.yyyy hh:nn:ss.zzz] " is 26 characters.
    lines_.push_back(message.size() >= 26 ? message.substr(26) : message);
}

std::vector<std::string> MemoryHandler::Lines() {
    std::lock_guard<std::mutex> lock(m_);
    return lines_;
}

bool MemoryHandler::Has(const std::string& line) { return Find(line) >= 0; }

int MemoryHandler::Find(const std::string& line, int from) {
    std::lock_guard<std::mutex> lock(m_);
    for (size_t i = static_cast<size_t>(from); i < lines_.size(); ++i)
        if (lines_[i] == line) return static_cast<int>(i);
    return -1;
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

std::string Xml(const pugi::xml_node& node) { return qz::OuterXml(node); }

std::string RawExchange(uint16_t port, const std::string& request, uint32_t timeoutMs) {
    namespace sock = platform::sock;
    const sock::Socket s = sock::ConnectLoopback(port, timeoutMs);
    if (s == sock::InvalidSocket) return {};
    std::string out;
    if (sock::SendAll(s, request.data(), request.size(), timeoutMs)) {
        char buf[65536];
        for (int n; (n = sock::Receive(s, buf, sizeof buf, timeoutMs)) > 0;) out.append(buf, static_cast<size_t>(n));
    }
    sock::Close(s);
    return out;
}

RawResponse ParseRawResponse(const std::string& raw) {
    RawResponse r;
    std::string rest = raw;
    // Interim answers ("100 Continue") come before the real one.
    while (rest.rfind("HTTP/1.1 1", 0) == 0 && rest.find("\r\n\r\n") != std::string::npos)
        rest = rest.substr(rest.find("\r\n\r\n") + 4);
    if (rest.rfind("HTTP/1.1 ", 0) != 0 || rest.size() < 12) return r;
    r.status = std::stoi(rest.substr(9, 3));
    const size_t end = rest.find("\r\n\r\n");
    if (end != std::string::npos) r.body = rest.substr(end + 4);
    return r;
}

}  // namespace qztest
