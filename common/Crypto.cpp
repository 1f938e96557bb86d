#include "common/Crypto.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

namespace qz {
namespace {

constexpr size_t kBlock = 16;

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

// One context per call; padding is ours, so the cipher runs block by block.
Ctx MakeContext(const TBytes& password, bool encrypt) {
    Ctx ctx(EVP_CIPHER_CTX_new());
    const TBytes key = TCrypto::PrepareKey(password);
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1)
        throw ECipherError("Cipher initialisation failed");
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    return ctx;
}

void Run(EVP_CIPHER_CTX* ctx, const uint8_t* in, size_t n, uint8_t* out) {
    int outLen = 0;
    if (EVP_CipherUpdate(ctx, out, &outLen, in, static_cast<int>(n)) != 1 || static_cast<size_t>(outLen) != n)
        throw ECipherError("Cipher failed");
}

}  // namespace

TBytes TCrypto::PrepareKey(const TBytes& Password) {
    TBytes key(kBlock, 0x01);
    if (!Password.empty()) std::memcpy(key.data(), Password.data(), std::min(Password.size(), kBlock));
    return key;
}

namespace {
TBytes Digest(const TBytes& value, const EVP_MD* md, const char* name) {
    TBytes digest(static_cast<size_t>(EVP_MD_size(md)));
    unsigned int len = 0;
    if (EVP_Digest(value.data(), value.size(), digest.data(), &len, md, nullptr) != 1 || len != digest.size())
        throw ECipherError(std::string(name) + " failed");
    return digest;
}
}  // namespace

TBytes TCrypto::CalculateMD5(const TBytes& AValue) { return Digest(AValue, EVP_md5(), "MD5"); }

TBytes TCrypto::CalculateMD5(const std::string& AValue) { return CalculateMD5(ToBytes(AValue)); }

TBytes TCrypto::CalculateSHA1(const TBytes& AValue) { return Digest(AValue, EVP_sha1(), "SHA-1"); }

TBytes TCrypto::Encrypt(const TBytes& InputBytes, const TBytes& Password) {
    const size_t full = InputBytes.size() / kBlock * kBlock;
    const size_t rest = InputBytes.size() - full;
    // The whole blocks go straight from the input; only the last one is built.
    uint8_t last[kBlock];
    if (rest) std::memcpy(last, InputBytes.data() + full, rest);
    std::memset(last + rest, static_cast<int>(kBlock - rest), kBlock - rest);
    TBytes out(full + kBlock);
    Ctx ctx = MakeContext(Password, true);
    if (full) Run(ctx.get(), InputBytes.data(), full, out.data());
    Run(ctx.get(), last, kBlock, out.data() + full);
    return out;
}

TBytes TCrypto::Decrypt(const TBytes& InputBytes, const TBytes& Password) {
    const size_t blocks = InputBytes.size() / kBlock;
    if (blocks == 0) throw ECipherError("Invalid file format");
    TBytes out(blocks * kBlock);
    Ctx ctx = MakeContext(Password, false);
    Run(ctx.get(), InputBytes.data(), out.size(), out.data());
    const size_t pad = out.back();
    // 0 keeps the whole last block; above 16 drops all of it.
    const size_t drop = pad > kBlock ? kBlock : pad;
    out.resize(out.size() - drop);
    return out;
}

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint32_t Sextet(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<uint32_t>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<uint32_t>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;
}
}  // namespace

std::string TBase64::EncodeBase64(const TBytes& in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        const uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const size_t rest = in.size() - i;
    if (rest) {
        uint32_t v = uint32_t(in[i]) << 16;
        if (rest == 2) v |= uint32_t(in[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

TBytes TBase64::DecodeBase64(const std::string& in) {
    TBytes out;
    const size_t groups = in.size() / 4;
    out.reserve(groups * 3);
    for (size_t g = 0; g < groups; ++g) {
        const char* p = in.data() + g * 4;
        const uint32_t v = (Sextet(p[0]) << 18) | (Sextet(p[1]) << 12) | (Sextet(p[2]) << 6) | Sextet(p[3]);
        out.push_back(static_cast<uint8_t>(v >> 16));
        if (p[2] == '=') continue;
        out.push_back(static_cast<uint8_t>(v >> 8));
        if (p[3] == '=') continue;
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

}  // namespace qz
