#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Screen.h"

namespace qz {

using TPicture = platform::screen::Bitmap;

// A picture of the whole desktop, scaled down to what the server asks for
// and encoded as PNG (newer servers) or GIF.
class TScreenshot {
public:
    // Raises when the capture fails or the scaled picture would be empty.
    static std::vector<uint8_t> GetScreenShot(int width, int height, const std::string& message,
                                              const std::string& ServerVersion);

    // Each stage on its own, for tests and the benchmark.
    // The size a picture is scaled to: unchanged when it fits, never enlarged.
    static platform::screen::Size ScaledSize(int srcWidth, int srcHeight, int width, int height);
    // Bilinear resampling in 16.16 fixed point (weights summing to 65537).
    static TPicture Resample(const TPicture& src, int width, int height);
    // Darkens the caption's corner and writes the text into it.
    static void StampCaption(TPicture& picture, const std::string& message);
    static std::vector<uint8_t> EncodePng(const TPicture& picture, int level = 3);
    // The 216-colour web palette with Burkes error diffusion.
    static std::vector<uint8_t> EncodeGif(const TPicture& picture);
    // "2.2" and later, compared as text.
    static bool WantsPng(const std::string& ServerVersion) { return ServerVersion >= "2.2"; }
};

// a * b / c in 64 bits, rounded half away from zero; -1 for c = 0.
int32_t MulDiv(int32_t a, int32_t b, int32_t c);

}  // namespace qz
