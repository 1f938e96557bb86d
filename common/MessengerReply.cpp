#include "common/MessengerReply.h"

#include <pugixml.hpp>

#include "common/Crypto.h"

namespace qz {

namespace {

constexpr size_t kCipherBlock = 16;

TMessengerReply Failed(std::string why) {
    TMessengerReply r;
    r.error = std::move(why);
    return r;
}

bool Digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

TMessengerReply DecodeMessengerReply(const std::string& httpReply) {
    if (httpReply.empty()) return Failed("The agent did not answer.");
    // "HTTP/1.x NNN" and the rest of the head.
    static const std::string version = "HTTP/1.";
    if (httpReply.size() < 12 || httpReply.compare(0, version.size(), version) != 0 || httpReply[8] != ' ' ||
        !Digit(httpReply[9]) || !Digit(httpReply[10]) || !Digit(httpReply[11]))
        return Failed("The agent's answer is not an HTTP reply.");
    const std::string status = httpReply.substr(9, 3);
    if (status != "200") return Failed("The agent refused the request (status " + status + ").");
    const size_t head = httpReply.find("\r\n\r\n");
    if (head == std::string::npos) return Failed("The agent's answer was cut short.");
    const std::string cipher = httpReply.substr(head + 4);
    // The agent answers nothing (or an empty text) for a number it doesn't hold.
    const auto gone = [] {
        TMessengerReply r = Failed("The message is no longer available: it was shown already or has expired.");
        r.gone = true;
        return r;
    };
    if (cipher.empty()) return gone();
    if (cipher.size() < kCipherBlock) return Failed("The agent's answer is shorter than one cipher block.");

    std::string text;
    try {
        text = ToText(TCrypto::Decrypt(ToBytes(cipher), ToBytes(MessengerKeyText)));
    } catch (const std::exception&) {
        return Failed("The agent's answer could not be decrypted.");
    }
    if (text.empty()) return gone();
    pugi::xml_document doc;
    const pugi::xml_node root =
        doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8) ? doc.child("response")
                                                                                             : pugi::xml_node();
    TMessengerReply r;
    r.title = root.child("title").text().get();
    r.message = root.child("message").text().get();
    if (!root || (r.title.empty() && r.message.empty())) return Failed("The agent's answer holds no message.");
    r.ok = true;
    return r;
}

}  // namespace qz
