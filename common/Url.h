#pragma once
// Addresses of the form scheme://[userinfo@]host[:port][/path][?query][#fragment].
#include <string>

namespace qz {

struct TUriParts {
    std::string scheme;
    std::string userInfo;  // with its "@", or empty
    std::string host;      // an IPv6 address keeps its brackets
    bool hasPort = false;  // a ":" followed the host
    std::string port;      // as written
    std::string path, query, fragment;  // query with its "?", fragment with its "#"
};
// Raises std::invalid_argument when there is no "://", or for an unclosed
// IPv6 address or text after one. Says nothing of whether the parts make sense.
TUriParts ParseUri(const std::string& text);

// The parts an HTTP request needs.
struct TUrlParts {
    std::string scheme, host;  // scheme in lower case
    int port = 0;
    std::string target;  // path, query and fragment, at least "/"
};
// Raises std::invalid_argument for an address that isn't http(s)://host[:port][/...].
TUrlParts SplitUrl(const std::string& url);

}  // namespace qz
