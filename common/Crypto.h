#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qz {

using TBytes = std::vector<uint8_t>;

inline TBytes ToBytes(const std::string& text) { return TBytes(text.begin(), text.end()); }
inline std::string ToText(const TBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A decryption that can't be done ("Invalid file format").
class ECipherError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The key material of the channel between the agent's command port and its
// message program (both sides hold it).
constexpr const char* MessengerKeyText = "{3C8A61F0-5B2D-4E97-8F14-A6D09C2E7B35}";

// AES-128 ECB with PKCS#7 padding under a key prepared from any key material:
// the material's first 16 bytes over a buffer of sixteen 0x01 bytes.
class TCrypto {
public:
    static TBytes CalculateMD5(const TBytes& AValue);
    static TBytes CalculateMD5(const std::string& AValue);
    static TBytes CalculateSHA1(const TBytes& AValue);
    static TBytes Encrypt(const TBytes& InputBytes, const TBytes& Password);
    // Lenient on the way back: only the last byte of the last block is read as
    // the pad length, and trailing bytes short of a block are ignored.
    static TBytes Decrypt(const TBytes& InputBytes, const TBytes& Password);
    static TBytes PrepareKey(const TBytes& Password);
};

// Standard Base64 with padding and no line breaks.
class TBase64 {
public:
    static std::string EncodeBase64(const TBytes& inStr);
    // Whole groups of four only; characters outside the alphabet count as zero bits.
    static TBytes DecodeBase64(const std::string& CinLine);
};

}  // namespace qz
