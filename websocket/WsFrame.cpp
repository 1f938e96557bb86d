#include "websocket/WsFrame.h"

#include <cstring>

namespace qz {

uint8_t WsOpcode(TWSDataCode code) {
    switch (code) {
        case TWSDataCode::wdcContinuation: return 0x0;
        case TWSDataCode::wdcText: return 0x1;
        case TWSDataCode::wdcBinary: return 0x2;
        case TWSDataCode::wdcClose: return 0x8;
        case TWSDataCode::wdcPing: return 0x9;
        case TWSDataCode::wdcPong: return 0xA;
        default: throw EWebsocketError("Unsupported data code: " + std::to_string(static_cast<int>(code)));
    }
}

namespace {

std::optional<TWSDataCode> FromOpcode(uint8_t op) {
    switch (op) {
        case 0x0: return TWSDataCode::wdcContinuation;
        case 0x1: return TWSDataCode::wdcText;
        case 0x2: return TWSDataCode::wdcBinary;
        case 0x8: return TWSDataCode::wdcClose;
        case 0x9: return TWSDataCode::wdcPing;
        case 0xA: return TWSDataCode::wdcPong;
        default: return std::nullopt;
    }
}

bool IsControl(TWSDataCode c) {
    return c == TWSDataCode::wdcClose || c == TWSDataCode::wdcPing || c == TWSDataCode::wdcPong;
}

}  // namespace

std::vector<uint8_t> EncodeClientFrame(TWSDataCode code, const uint8_t* data, size_t size, uint32_t maskKey, bool fin,
                                       bool rsv1, bool rsv2, bool rsv3) {
    std::vector<uint8_t> frame;
    frame.reserve(size + 14);
    frame.push_back(static_cast<uint8_t>((fin ? 0x80 : 0) | (rsv1 ? 0x40 : 0) | (rsv2 ? 0x20 : 0) |
                                         (rsv3 ? 0x10 : 0) | WsOpcode(code)));
    if (size <= 125) {
        frame.push_back(static_cast<uint8_t>(0x80 | size));
    } else if (size <= 65535) {
        frame.push_back(0x80 | 126);
        frame.push_back(static_cast<uint8_t>(size >> 8));
        frame.push_back(static_cast<uint8_t>(size));
    } else {
        frame.push_back(0x80 | 127);
        for (int s = 56; s >= 0; s -= 8) frame.push_back(static_cast<uint8_t>(static_cast<uint64_t>(size) >> s));
    }
    const uint8_t key[4] = {static_cast<uint8_t>(maskKey), static_cast<uint8_t>(maskKey >> 8),
                            static_cast<uint8_t>(maskKey >> 16), static_cast<uint8_t>(maskKey >> 24)};
    frame.insert(frame.end(), key, key + 4);
    const size_t start = frame.size();
    frame.resize(start + size);
    for (size_t i = 0; i < size; ++i) frame[start + i] = data[i] ^ key[i & 3];
    return frame;
}

std::string WsShowData(const uint8_t* data, size_t size, size_t limit) {
    std::string out;
    for (size_t i = 0; i < size && i < limit; ++i) {
        if (data[i] >= 32 && data[i] < 127)
            out += static_cast<char>(data[i]);
        else
            out += "#" + std::to_string(data[i]);
    }
    if (size > limit) out += "...";
    return out;
}

void TWsFrameReader::Feed(const uint8_t* data, size_t size) {
    // What was taken is dropped before the buffer grows.
    if (FPos > 0 && FPos >= FBuffer.size() / 2) {
        FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(FPos));
        FPos = 0;
    }
    FBuffer.insert(FBuffer.end(), data, data + size);
}

void TWsFrameReader::Clear() {
    FBuffer.clear();
    FPos = 0;
    FMessageCode = TWSDataCode::wdcNone;
    FMessage.clear();
    FFragments = 0;
}

std::optional<TWsMessage> TWsFrameReader::Next() {
    for (;;) {
        const uint8_t* p = FBuffer.data() + FPos;
        const size_t avail = FBuffer.size() - FPos;
        if (avail < 2) return std::nullopt;
        const bool fin = p[0] & 0x80;
        const auto code = FromOpcode(p[0] & 0x0F);
        if (!code)
            throw EWebsocketError("Unsupported data code: " + std::to_string(p[0] & 0x0F) +
                                  ". Buffer = " + WsShowData(p, avail));
        if (p[1] & 0x80)
            throw EWebsocketError(
                "Mask supplied but mask is not allowed for servers when sending data to clients. Buffer = " +
                WsShowData(p, avail));
        size_t header = 2;
        uint64_t length = p[1] & 0x7F;
        if (length == 126) {
            if (avail < 4) return std::nullopt;
            length = (uint64_t{p[2]} << 8) | p[3];
            header = 4;
        } else if (length == 127) {
            if (avail < 10) return std::nullopt;
            length = 0;
            for (int i = 0; i < 8; ++i) length = (length << 8) | p[2 + i];
            header = 10;
        }
        if (IsControl(*code) && (!fin || length > 125))
            throw EWebsocketError("Invalid control frame. Buffer = " + WsShowData(p, avail));
        // Refused before a byte of it is held.
        if (length > FLimits.maxMessageBytes || (!IsControl(*code) && FMessage.size() + length > FLimits.maxMessageBytes))
            throw EWebsocketError("Message larger than " + std::to_string(FLimits.maxMessageBytes) + " bytes refused",
                                  WsCloseTooBig);
        if (avail - header < length) return std::nullopt;
        const uint8_t* payload = p + header;
        FPos += header + static_cast<size_t>(length);
        const size_t n = static_cast<size_t>(length);

        if (IsControl(*code)) return TWsMessage{*code, std::vector<uint8_t>(payload, payload + n)};
        if (*code == TWSDataCode::wdcContinuation) {
            if (FMessageCode == TWSDataCode::wdcNone)
                throw EWebsocketError("Invalid frame continuation. Data = " + WsShowData(payload, n));
        } else {
            if (FMessageCode != TWSDataCode::wdcNone)
                throw EWebsocketError("Invalid frame: specified data code only allowed for the first frame. Data = " +
                                      WsShowData(payload, n));
            FMessageCode = *code;
            FFragments = 0;
        }
        if (++FFragments > FLimits.maxFragments)
            throw EWebsocketError("More than " + std::to_string(FLimits.maxFragments) + " frames in one message refused",
                                  WsCloseTooBig);
        FMessage.insert(FMessage.end(), payload, payload + n);
        if (fin) {
            TWsMessage m{FMessageCode, std::move(FMessage)};
            FMessage = {};
            FMessageCode = TWSDataCode::wdcNone;
            FFragments = 0;
            return m;
        }
    }
}

}  // namespace qz
