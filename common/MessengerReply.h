#pragma once
// The message program's side of its fetch from the agent's command port:
// the raw HTTP answer turned into the message to show, or the reason there
// is none. Nothing in it throws.
#include <string>

namespace qz {

struct TMessengerReply {
    bool ok = false;
    // An empty answer: the agent holds no such message (shown already, or
    // never stored); nothing worth a word to the user.
    bool gone = false;
    std::string title, message;
    std::string error;  // for the user, when there is nothing to show
};

TMessengerReply DecodeMessengerReply(const std::string& httpReply);

}  // namespace qz
