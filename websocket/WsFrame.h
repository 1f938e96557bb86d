#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qz {

// Message kinds in the order of the protocol's own numbering below.
enum class TWSDataCode { wdcNone, wdcContinuation, wdcText, wdcBinary, wdcClose, wdcPing, wdcPong };

// The opcode on the wire; raises EWebsocketError for wdcNone.
uint8_t WsOpcode(TWSDataCode code);

// Close codes the client sends.
constexpr uint16_t WsCloseNormal = 1000;
constexpr uint16_t WsCloseProtocolError = 1002;
constexpr uint16_t WsCloseTooBig = 1009;

// A protocol violation or a frame the bounds refuse: the connection is reset.
class EWebsocketError : public std::runtime_error {
public:
    EWebsocketError(const std::string& what, uint16_t closeCode = WsCloseProtocolError)
        : std::runtime_error(what), FCloseCode(closeCode) {}
    uint16_t CloseCode() const { return FCloseCode; }

private:
    uint16_t FCloseCode;
};

// One frame as this client sends it: FIN and the extension bits as given,
// the mask bit always set, the payload XORed with the 4-byte key (least
// significant byte first).
std::vector<uint8_t> EncodeClientFrame(TWSDataCode code, const uint8_t* data, size_t size, uint32_t maskKey,
                                       bool fin = true, bool rsv1 = false, bool rsv2 = false, bool rsv3 = false);

// Bytes for a log line: printable characters as they are, others as "#" and
// their decimal value; at most `limit` bytes shown.
std::string WsShowData(const uint8_t* data, size_t size, size_t limit = 64);

struct TWsMessage {
    TWSDataCode code = TWSDataCode::wdcNone;  // text, binary, close, ping or pong
    std::vector<uint8_t> data;
};

// Turns the bytes the server sends into whole messages and control frames.
// Control frames come out as they arrive, between a message's fragments too.
class TWsFrameReader {
public:
    struct Limits {
        size_t maxMessageBytes = 16u << 20;  // larger: 1009
        size_t maxFragments = 4096;          // frames of one message
    };
    TWsFrameReader() = default;
    explicit TWsFrameReader(Limits limits) : FLimits(limits) {}

    void Feed(const uint8_t* data, size_t size);
    // The next whole item, or nullopt until more bytes arrive. Raises
    // EWebsocketError on a violation; the reader is useless afterwards.
    std::optional<TWsMessage> Next();
    // Received bytes not yet made into an item.
    bool HasPending() const { return FPos < FBuffer.size(); }
    void Clear();

private:
    Limits FLimits;
    std::vector<uint8_t> FBuffer;
    size_t FPos = 0;
    TWSDataCode FMessageCode = TWSDataCode::wdcNone;  // the message under assembly
    std::vector<uint8_t> FMessage;
    size_t FFragments = 0;
};

}  // namespace qz
