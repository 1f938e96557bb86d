#include "common/Url.h"

#include <algorithm>
#include <stdexcept>

#include "common/Text.h"

namespace qz {

TUriParts ParseUri(const std::string& t) {
    TUriParts p;
    const size_t schemeEnd = t.find("://");
    if (schemeEnd == std::string::npos) throw std::invalid_argument("Invalid URI: no scheme in " + t);
    p.scheme = t.substr(0, schemeEnd);
    const size_t authStart = schemeEnd + 3;
    const size_t authEnd = std::min(t.find_first_of("/?#", authStart), t.size());
    const std::string authority = t.substr(authStart, authEnd - authStart);

    std::string rest = t.substr(authEnd);
    if (const size_t h = rest.find('#'); h != std::string::npos) {
        p.fragment = rest.substr(h);
        rest.erase(h);
    }
    if (const size_t q = rest.find('?'); q != std::string::npos) {
        p.query = rest.substr(q);
        rest.erase(q);
    }
    p.path = rest;

    std::string hostPort = authority;
    if (const size_t at = authority.rfind('@'); at != std::string::npos) {
        p.userInfo = authority.substr(0, at + 1);
        hostPort = authority.substr(at + 1);
    }
    if (!hostPort.empty() && hostPort[0] == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string::npos) throw std::invalid_argument("Invalid URI: unclosed IPv6 address in " + t);
        p.host = hostPort.substr(0, close + 1);
        const std::string after = hostPort.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') throw std::invalid_argument("Invalid URI: unexpected text after the host in " + t);
            p.hasPort = true;
            p.port = after.substr(1);
        }
    } else if (const size_t colon = hostPort.find(':'); colon != std::string::npos) {
        p.host = hostPort.substr(0, colon);
        p.hasPort = true;
        p.port = hostPort.substr(colon + 1);
    } else {
        p.host = hostPort;
    }
    return p;
}

TUrlParts SplitUrl(const std::string& url) {
    TUriParts u;
    try {
        u = ParseUri(url);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("Invalid URL " + url);
    }
    TUrlParts p;
    p.scheme = AsciiLower(u.scheme);
    if (p.scheme != "http" && p.scheme != "https") throw std::invalid_argument("Invalid URL " + url);
    p.port = p.scheme == "https" ? 443 : 80;
    if (u.hasPort) {
        if (u.port.empty() || u.port.size() > 5 || u.port.find_first_not_of("0123456789") != std::string::npos)
            throw std::invalid_argument("Invalid URL " + url);
        p.port = std::stoi(u.port);
    }
    if (u.host.empty() || u.host == "[]") throw std::invalid_argument("Invalid URL " + url);
    p.host = u.host;
    p.target = u.path + u.query + u.fragment;
    if (p.target.empty() || p.target[0] != '/') p.target = "/" + p.target;
    return p;
}

}  // namespace qz
