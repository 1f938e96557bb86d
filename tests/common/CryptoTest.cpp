#include "common/Crypto.h"

#include <gtest/gtest.h>

using namespace qz;

namespace {

std::string Hex(const TBytes& b) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

TBytes FromHex(const std::string& h) {
    TBytes b;
    for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return b;
}

// Reference values from an independent implementation.
struct CipherCase {
    std::string plain, key, preparedHex, cipherHex;
};
const CipherCase kCipherCases[] = {
    {"", "", "01010101010101010101010101010101", "68434d37d7f69f0e03b75bb15bc94b6c"},
    {"", "12345", "31323334350101010101010101010101", "7e5d85bb660d9094c114ff4e4f51f666"},
    {"aaaaaaaaaaaaaaa", "12345", "31323334350101010101010101010101", "d744f14dd7dfa08a74fad2dfaafcd19b"},
    {"bbbbbbbbbbbbbbbb", "\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01", "01010101010101010101010101010101", "9cfa8f396f92d76c5f47ca1dce9c12a868434d37d7f69f0e03b75bb15bc94b6c"},
    {"ccccccccccccccccc", "xxxxxxxxxxxxxxxxxxxx", "78787878787878787878787878787878", "8262f3cc97dae7ab545d98f92cc4248f38a6dac7fe8e0f871eb07c1854a13c37"},
    {"<settings/>", "tide_lamps", "746964655f6c616d7073010101010101", "50a77ddbc7727618df831e913f10a29a"},
    {"Hello, guard", "{3C8A61F0-5B2D-4E97-8F14-A6D09C2E7B35}", "7b33433841363146302d354232442d34", "8e81315b4f14b72412998aae03bd91a7"},
};

}  // namespace

TEST(Crypto, ReferenceCiphertexts) {
    for (const auto& c : kCipherCases) {
        SCOPED_TRACE(c.plain + " / " + c.key);
        EXPECT_EQ(Hex(TCrypto::PrepareKey(ToBytes(c.key))), c.preparedHex);
        EXPECT_EQ(Hex(TCrypto::Encrypt(ToBytes(c.plain), ToBytes(c.key))), c.cipherHex);
        EXPECT_EQ(ToText(TCrypto::Decrypt(FromHex(c.cipherHex), ToBytes(c.key))), c.plain);
    }
}

TEST(Crypto, Fips197AesBlock) {
    // FIPS-197 appendix C.1: one block under the plain key, which our padding then follows.
    const TBytes key = FromHex("000102030405060708090a0b0c0d0e0f");
    const TBytes out = TCrypto::Encrypt(FromHex("00112233445566778899aabbccddeeff"), key);
    ASSERT_EQ(out.size(), 32u);
    EXPECT_EQ(Hex(TBytes(out.begin(), out.begin() + 16)), "69c4e0d86a7b0430d8cdb78070b4c55a");
}

TEST(Crypto, LengthsAndRoundTrips) {
    const struct {
        size_t in, out;
    } sizes[] = {{0, 16}, {15, 16}, {16, 32}, {17, 32}, {48, 64}};
    for (const auto& s : sizes) EXPECT_EQ(TCrypto::Encrypt(TBytes(s.in, 'a'), {}).size(), s.out) << s.in;

    for (size_t keyLen : {0u, 5u, 16u, 20u}) {
        TBytes key(keyLen);
        for (size_t i = 0; i < keyLen; ++i) key[i] = static_cast<uint8_t>(0x30 + i);
        for (size_t n = 0; n <= 48; ++n) {
            TBytes x(n);
            for (size_t i = 0; i < n; ++i) x[i] = static_cast<uint8_t>(i * 7 + keyLen);
            ASSERT_EQ(TCrypto::Decrypt(TCrypto::Encrypt(x, key), key), x) << n << "/" << keyLen;
        }
    }
    // Only the first 16 bytes of the key material count.
    EXPECT_EQ(TCrypto::Encrypt(ToBytes("abc"), ToBytes("0123456789abcdefXXXX")),
              TCrypto::Encrypt(ToBytes("abc"), ToBytes("0123456789abcdefYY")));
}

TEST(Crypto, LenientDecryption) {
    const TBytes key = ToBytes("12345");
    EXPECT_THROW(TCrypto::Decrypt(TBytes(15, 0), key), ECipherError);
    try {
        TCrypto::Decrypt({}, key);
        FAIL();
    } catch (const ECipherError& e) {
        EXPECT_STREQ(e.what(), "Invalid file format");
    }
    // Bytes beyond the last whole block are never read.
    TBytes ct = TCrypto::Encrypt(TBytes(20, 'q'), key);
    ct.insert(ct.end(), 8, 0xEE);
    EXPECT_EQ(TCrypto::Decrypt(ct, key), TBytes(20, 'q'));

    // A last byte of 0 keeps the whole last block; above 16 drops all of it.
    auto lastBlockEndingIn = [&](uint8_t last) {
        TBytes block(16, 'z');
        block[15] = last;
        TBytes twoBlocks = TCrypto::Encrypt(block, key);  // block + padding block
        twoBlocks.resize(16);
        return TCrypto::Decrypt(twoBlocks, key);
    };
    EXPECT_EQ(lastBlockEndingIn(0).size(), 16u);
    EXPECT_EQ(lastBlockEndingIn(17).size(), 0u);
    EXPECT_EQ(lastBlockEndingIn(3).size(), 13u);
}

TEST(Crypto, Md5AndPasswordHashes) {
    // RFC 1321 test suite.
    const std::pair<std::string, std::string> rfc[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [in, md5] : rfc) EXPECT_EQ(Hex(TCrypto::CalculateMD5(in)), md5) << in;
    // The stored form of a connection password: Base64 of its MD5.
    const std::pair<std::string, std::string> hashes[] = {
        {"harbour", "CGCbzzh9ExYqUp+8Dt/1CA=="},
        {"HiddenMarigold", "YHPbWGFM+IHNox7JSHsHAg=="},
        {"", "1B2M2Y8AsgTpgAmY7PhCfg=="},
        {" spaced ", "Rp6DQXCQ8X8fiVZof6bjRw=="},
    };
    for (const auto& [pw, hash] : hashes) EXPECT_EQ(TBase64::EncodeBase64(TCrypto::CalculateMD5(pw)), hash) << pw;
}

TEST(Base64, Rfc4648AndGroups) {
    const std::pair<std::string, std::string> rfc[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, enc] : rfc) {
        EXPECT_EQ(TBase64::EncodeBase64(ToBytes(plain)), enc);
        EXPECT_EQ(ToText(TBase64::DecodeBase64(enc)), plain);
    }
    const std::pair<std::string, std::string> decode[] = {
        {"abc", ""},
        {"QQ==", "41"},
        {"QUI=", "4142"},
        {"QUJD", "414243"},
        {"QUJDRA", "414243"},
        {"QUJDRA==", "41424344"},
    };
    for (const auto& [text, hex] : decode) EXPECT_EQ(Hex(TBase64::DecodeBase64(text)), hex) << text;
    TBytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(TBase64::DecodeBase64(TBase64::EncodeBase64(all)), all);
}
