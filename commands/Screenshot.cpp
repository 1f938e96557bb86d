#include "commands/Screenshot.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include <zlib.h>

#include "common/Logger.h"
#include "platform/Clock.h"

namespace qz {

int32_t MulDiv(int32_t a, int32_t b, int32_t c) {
    if (c == 0) return -1;
    const int64_t p = int64_t{a} * b;
    const bool negative = (p < 0) != (c < 0);
    const uint64_t n = static_cast<uint64_t>(p < 0 ? -p : p), d = static_cast<uint64_t>(c < 0 ? -int64_t{c} : c);
    const int64_t q = static_cast<int64_t>((n + d / 2) / d);
    return static_cast<int32_t>(negative ? -q : q);
}

platform::screen::Size TScreenshot::ScaledSize(int srcWidth, int srcHeight, int width, int height) {
    if (srcWidth <= width && srcHeight <= height) return {srcWidth, srcHeight};
    const double f = std::min(static_cast<double>(width) / srcWidth, static_cast<double>(height) / srcHeight);
    // Round to nearest, halves to even (the default rounding mode).
    return {static_cast<int>(std::nearbyint(srcWidth * f)), static_cast<int>(std::nearbyint(srcHeight * f))};
}

TPicture TScreenshot::Resample(const TPicture& src, int width, int height) {
    if (width == src.width && height == src.height) return src;
    // The row step needs two destination rows; a picture without columns is nothing.
    if (width < 1 || height < 2 || src.width < 1 || src.height < 1) throw std::runtime_error("Invalid scaled picture size");
    TPicture dst(width, height);
    const int32_t xStep = MulDiv(src.width - 1, 65536, width);
    const int32_t yStep = MulDiv(src.height - 1, 65536, height);
    const int lastColumn = src.width - 1;
    int32_t yP = 0;
    for (int y = 0; y < height; ++y) {
        const int r1 = yP >> 16;
        const int r2 = r1 < src.height - 1 ? r1 + 1 : r1;
        const uint8_t* row1 = src.Row(r1);
        const uint8_t* row2 = src.Row(r2);
        const int32_t z2 = (yP & 0xFFFF) + 1;
        const int32_t iz2 = ((~yP) & 0xFFFF) + 1;
        uint8_t* out = dst.Row(y);
        int32_t xP = 0;
        for (int x = 0; x < width; ++x) {
            const int t = xP >> 16;
            // A one-column source has no right neighbour; its weight is 0 then.
            const int t1 = std::min(t + 1, lastColumn);
            const int32_t z = xP & 0xFFFF;
            const int32_t w2 = MulDiv(z, iz2, 65536);
            const int32_t w1 = iz2 - w2;
            const int32_t w4 = MulDiv(z, z2, 65536);
            const int32_t w3 = z2 - w4;
            const uint8_t* a = row1 + t * 3;
            const uint8_t* b = row1 + t1 * 3;
            const uint8_t* c = row2 + t * 3;
            const uint8_t* d = row2 + t1 * 3;
            for (int ch = 0; ch < 3; ++ch)
                out[x * 3 + ch] = static_cast<uint8_t>((a[ch] * w1 + b[ch] * w2 + c[ch] * w3 + d[ch] * w4) >> 16);
            xP += xStep;
        }
        yP += yStep;
    }
    return dst;
}

void TScreenshot::StampCaption(TPicture& picture, const std::string& message) {
    if (message.empty()) return;
    const platform::screen::Size text = platform::screen::CaptionExtent(message);
    const int W = picture.width;
    // Clipped to the picture: a long caption or a small screen must stay inside it.
    const int x0 = std::max(0, W - text.width - 25), x1 = std::min(W - 1, W - 15);
    const int y0 = 57, y1 = std::min(picture.height - 1, text.height + 62);
    for (int y = y0; y <= y1; ++y) {
        uint8_t* row = picture.Row(y);
        for (int x = x0; x <= x1; ++x)
            for (int ch = 0; ch < 3; ++ch) row[x * 3 + ch] >>= 1;
    }
    platform::screen::DrawCaption(picture, message, W - text.width - 20, 60);
}

namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

void Chunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t size) {
    Put32(out, static_cast<uint32_t>(size));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (size) out.insert(out.end(), data, data + size);
    const uLong crc = crc32(0L, out.data() + start, static_cast<uInt>(size + 4));
    Put32(out, static_cast<uint32_t>(crc));
}

uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

}  // namespace

std::vector<uint8_t> TScreenshot::EncodePng(const TPicture& picture, int level) {
    const size_t rowBytes = static_cast<size_t>(picture.width) * 3;
    // Each row filtered the way that leaves the smallest sum of magnitudes.
    std::vector<uint8_t> filtered((rowBytes + 1) * static_cast<size_t>(picture.height));
    std::vector<uint8_t> prev(rowBytes, 0), cur(rowBytes), trial[5];
    for (auto& t : trial) t.resize(rowBytes);
    for (int y = 0; y < picture.height; ++y) {
        const uint8_t* src = picture.Row(y);
        for (size_t x = 0; x < rowBytes; x += 3) {  // BGR to RGB
            cur[x] = src[x + 2];
            cur[x + 1] = src[x + 1];
            cur[x + 2] = src[x];
        }
        // Each filter in a loop of its own: the compiler keeps them tight.
        const uint8_t* c = cur.data();
        const uint8_t* u = prev.data();
        auto cost = [](uint8_t v) { return static_cast<uint32_t>(v < 128 ? v : 256 - v); };
        uint64_t sums[5] = {0, 0, 0, 0, 0};
        for (size_t i = 0; i < rowBytes; ++i) {
            trial[0][i] = c[i];
            sums[0] += cost(c[i]);
        }
        for (size_t i = 0; i < rowBytes; ++i) {
            const uint8_t v = static_cast<uint8_t>(c[i] - (i >= 3 ? c[i - 3] : 0));
            trial[1][i] = v;
            sums[1] += cost(v);
        }
        for (size_t i = 0; i < rowBytes; ++i) {
            const uint8_t v = static_cast<uint8_t>(c[i] - u[i]);
            trial[2][i] = v;
            sums[2] += cost(v);
        }
        for (size_t i = 0; i < rowBytes; ++i) {
            const uint8_t v = static_cast<uint8_t>(c[i] - (((i >= 3 ? c[i - 3] : 0) + u[i]) >> 1));
            trial[3][i] = v;
            sums[3] += cost(v);
        }
        for (size_t i = 0; i < rowBytes; ++i) {
            const uint8_t v = static_cast<uint8_t>(c[i] - Paeth(i >= 3 ? c[i - 3] : 0, u[i], i >= 3 ? u[i - 3] : 0));
            trial[4][i] = v;
            sums[4] += cost(v);
        }
        int chosen = 0;
        for (int f = 1; f < 5; ++f)
            if (sums[f] < sums[chosen]) chosen = f;
        uint8_t* out = filtered.data() + static_cast<size_t>(y) * (rowBytes + 1);
        out[0] = static_cast<uint8_t>(chosen);
        std::memcpy(out + 1, trial[chosen].data(), rowBytes);
        prev.swap(cur);
    }
    uLongf packedSize = compressBound(static_cast<uLong>(filtered.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, filtered.data(), static_cast<uLong>(filtered.size()), level) != Z_OK)
        throw std::runtime_error("PNG compression failed");

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    Put32(header, static_cast<uint32_t>(picture.width));
    Put32(header, static_cast<uint32_t>(picture.height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, truecolour, deflate, adaptive filters, no interlace
    Chunk(png, "IHDR", header.data(), header.size());
    Chunk(png, "IDAT", packed.data(), packedSize);
    Chunk(png, "IEND", nullptr, 0);
    return png;
}

namespace {

// Variable-length codes packed least significant bit first into 255-byte sub-blocks.
class TGifBits {
public:
    explicit TGifBits(std::vector<uint8_t>& out) : out_(out) {}
    void Put(uint32_t code, int size) {
        acc_ |= code << bits_;
        bits_ += size;
        while (bits_ >= 8) {
            Byte(static_cast<uint8_t>(acc_));
            acc_ >>= 8;
            bits_ -= 8;
        }
    }
    void Finish() {
        if (bits_ > 0) Byte(static_cast<uint8_t>(acc_));
        acc_ = 0;
        bits_ = 0;
        Flush();
        out_.push_back(0);  // block terminator
    }

private:
    void Byte(uint8_t b) {
        block_[n_++] = b;
        if (n_ == 255) Flush();
    }
    void Flush() {
        if (!n_) return;
        out_.push_back(static_cast<uint8_t>(n_));
        out_.insert(out_.end(), block_, block_ + n_);
        n_ = 0;
    }
    std::vector<uint8_t>& out_;
    uint32_t acc_ = 0;
    int bits_ = 0;
    uint8_t block_[255];
    int n_ = 0;
};

// LZW with 8-bit roots, codes up to 12 bits, a clear code when the table is full.
void LzwEncode(const std::vector<uint8_t>& indices, std::vector<uint8_t>& out) {
    constexpr int Root = 8;
    constexpr uint32_t Clear = 1u << Root, End = Clear + 1, MaxCode = 4096;
    constexpr size_t Slots = 8192;  // open addressing, a power of two above 4096
    std::vector<uint32_t> keys(Slots);
    std::vector<uint16_t> codes(Slots);
    std::vector<uint32_t> stamp(Slots, 0);
    uint32_t generation = 1;
    out.push_back(Root);
    TGifBits bits(out);
    uint32_t next = End + 1;
    int size = Root + 1;
    bits.Put(Clear, size);
    if (indices.empty()) {
        bits.Put(End, size);
        bits.Finish();
        return;
    }
    uint32_t prefix = indices[0];
    for (size_t i = 1; i < indices.size(); ++i) {
        const uint32_t c = indices[i];
        const uint32_t key = (prefix << 8) | c;
        size_t h = (key * 2654435761u) & (Slots - 1);
        bool found = false;
        while (stamp[h] == generation) {
            if (keys[h] == key) {
                found = true;
                break;
            }
            h = (h + 1) & (Slots - 1);
        }
        if (found) {
            prefix = codes[h];
            continue;
        }
        bits.Put(prefix, size);
        if (next < MaxCode) {
            stamp[h] = generation;
            keys[h] = key;
            codes[h] = static_cast<uint16_t>(next);
            // The decoder widens its codes once the next code no longer fits.
            if (next == (1u << size) && size < 12) ++size;
            ++next;
        } else {
            bits.Put(Clear, size);
            ++generation;
            next = End + 1;
            size = Root + 1;
        }
        prefix = c;
    }
    bits.Put(prefix, size);
    // The decoder adds its last entry on reading that code and may widen before the end code.
    if (next == (1u << size) && size < 12) ++size;
    bits.Put(End, size);
    bits.Finish();
}

}  // namespace

std::vector<uint8_t> TScreenshot::EncodeGif(const TPicture& picture) {
    const int w = picture.width, h = picture.height;
    if (w < 1 || h < 1 || w > 65535 || h > 65535) throw std::runtime_error("Invalid picture size for GIF");
    // Burkes: 8 and 4 to the right; 2 4 8 4 2 on the row below; all over 32.
    std::vector<int> errCur(static_cast<size_t>(w + 4) * 3, 0), errNext(errCur.size(), 0);
    std::vector<uint8_t> indices(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = picture.Row(y);
        std::fill(errNext.begin(), errNext.end(), 0);
        for (int x = 0; x < w; ++x) {
            int level[3];
            for (int ch = 0; ch < 3; ++ch) {
                const size_t at = static_cast<size_t>(x + 2) * 3 + ch;
                const int want = std::clamp(row[x * 3 + ch] + errCur[at] / 32, 0, 255);
                level[ch] = (want + 25) / 51;
                const int e = want - level[ch] * 51;
                errCur[at + 3] += e * 8;
                errCur[at + 6] += e * 4;
                errNext[at - 6] += e * 2;
                errNext[at - 3] += e * 4;
                errNext[at] += e * 8;
                errNext[at + 3] += e * 4;
                errNext[at + 6] += e * 2;
            }
            // Index = red * 36 + green * 6 + blue (the pixel is blue, green, red).
            indices[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(level[2] * 36 + level[1] * 6 + level[0]);
        }
        errCur.swap(errNext);
    }
    std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a'};
    auto put16 = [&](int v) {
        gif.push_back(static_cast<uint8_t>(v));
        gif.push_back(static_cast<uint8_t>(v >> 8));
    };
    put16(w);
    put16(h);
    gif.insert(gif.end(), {0xF7, 0, 0});  // a global table of 256 entries
    for (int i = 0; i < 256; ++i) {
        if (i < 216) {
            gif.push_back(static_cast<uint8_t>(i / 36 * 51));
            gif.push_back(static_cast<uint8_t>(i / 6 % 6 * 51));
            gif.push_back(static_cast<uint8_t>(i % 6 * 51));
        } else {
            gif.insert(gif.end(), {0, 0, 0});
        }
    }
    gif.push_back(0x2C);
    put16(0);
    put16(0);
    put16(w);
    put16(h);
    gif.push_back(0);
    LzwEncode(indices, gif);
    gif.push_back(0x3B);
    return gif;
}

std::vector<uint8_t> TScreenshot::GetScreenShot(int width, int height, const std::string& message,
                                                const std::string& ServerVersion) {
    const uint64_t t0 = platform::sys::TickCountMs();
    TPicture picture = platform::screen::CaptureDesktop();
    const uint64_t taken = platform::sys::TickCountMs();
    TLogger::Fine("screenshot has been taken " + std::to_string(taken - t0));
    StampCaption(picture, message);
    const platform::screen::Size size = ScaledSize(picture.width, picture.height, width, height);
    if (size.width != picture.width || size.height != picture.height)
        picture = Resample(picture, size.width, size.height);
    std::vector<uint8_t> encoded = WantsPng(ServerVersion) ? EncodePng(picture) : EncodeGif(picture);
    const uint64_t encodedAt = platform::sys::TickCountMs();
    TLogger::Fine("it has been encoded " + std::to_string(encodedAt - taken));
    TLogger::Fine("Size " + std::to_string(encoded.size()));
    TLogger::Fine("string has been taken 0");
    TLogger::Fine("GetScreenShot " + std::to_string(platform::sys::TickCountMs() - taken));
    return encoded;
}

}  // namespace qz
