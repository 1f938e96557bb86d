// The websocket client's readers on what a server (or anyone on the path)
// sends: the handshake response head, then frames. The first byte chooses
// how the rest is cut into reads.
#include <cstddef>
#include <cstdint>

#include "websocket/WsFrame.h"
#include "websocket/WsHandshake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t step = 1 + data[0] % 64;
    ++data;
    --size;
    qz::TWsHandshake handshake;
    qz::TWsFrameReader reader(qz::TWsFrameReader::Limits{1u << 20, 64});
    size_t at = 0;
    try {
        while (at < size && !handshake.Complete()) {
            const size_t n = std::min(step, size - at);
            at += handshake.Feed(reinterpret_cast<const char*>(data) + at, n);
        }
        if (handshake.Complete()) (void)qz::TWsHandshake::Check(handshake.Result(), "dGhlIHNhbXBsZSBub25jZQ==");
        // Whatever follows the head (or all of it, when it never ends) as frames.
        if (!handshake.Complete()) at = 0;
        while (at < size) {
            const size_t n = std::min(step, size - at);
            reader.Feed(data + at, n);
            at += n;
            while (auto m = reader.Next()) {
                if (m->data.size() > (1u << 20)) __builtin_trap();
            }
        }
    } catch (const qz::EWebsocketError&) {
    }
    return 0;
}
