#include "common/MessengerReply.h"

#include <gtest/gtest.h>

#include "common/Crypto.h"

using namespace qz;

namespace {

std::string Sealed(const std::string& text) {
    return ToText(TCrypto::Encrypt(ToBytes(text), ToBytes(MessengerKeyText)));
}

const std::string kHead = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";

TEST(MessengerReply, AMessageFromTheAgentIsShown) {
    const TMessengerReply r =
        DecodeMessengerReply(kHead + Sealed("<response><title>Lab</title><message>Closing at 6</message></response>"));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.title, "Lab");
    EXPECT_EQ(r.message, "Closing at 6");
}

// Whatever arrives, the answer is a reason in words, never an exception.
TEST(MessengerReply, EveryBrokenAnswerGivesItsReason) {
    const struct {
        std::string name, reply, error;
    } cases[] = {
        {"nothing", "", "The agent did not answer."},
        {"cut in the status line", "HTTP/1.", "The agent's answer is not an HTTP reply."},
        {"status line alone", "HTTP/1.1", "The agent's answer is not an HTTP reply."},
        {"not HTTP", "SSH-2.0-x\r\n\r\n", "The agent's answer is not an HTTP reply."},
        {"refused", "HTTP/1.1 401 Unauthorized\r\n\r\n", "The agent refused the request (status 401)."},
        {"head cut", "HTTP/1.1 200 OK\r\nContent-Length: 32\r\n", "The agent's answer was cut short."},
        {"number not held", kHead,
         "The message is no longer available: it was shown already or has expired."},
        // What the agent sends for a number it doesn't hold: an empty text, sealed.
        {"number not held, sealed", kHead + Sealed(""),
         "The message is no longer available: it was shown already or has expired."},
        {"shorter than a block", kHead + "0123456789", "The agent's answer is shorter than one cipher block."},
        {"another key", kHead + ToText(TCrypto::Encrypt(ToBytes("<response><title>x</title></response>"),
                                                        ToBytes("other"))),
         "The agent's answer holds no message."},
        {"no message in it", kHead + Sealed("<response><title/></response>"), "The agent's answer holds no message."},
        {"another root", kHead + Sealed("<reply><title>x</title></reply>"), "The agent's answer holds no message."},
    };
    for (const auto& c : cases) {
        TMessengerReply r;
        EXPECT_NO_THROW(r = DecodeMessengerReply(c.reply)) << c.name;
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_EQ(r.error, c.error) << c.name;
        EXPECT_EQ(r.gone, c.name.rfind("number not held", 0) == 0) << c.name;
    }
}

}  // namespace
