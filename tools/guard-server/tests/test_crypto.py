"""Cipher, digest and text encodings against published and reference values."""

import unittest

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import support  # noqa: F401  (puts guardlib on the path)
from guardlib import crypto
from guardlib.query import parse_query, path_encode, percent_decode

H = bytes.fromhex


def raw_aes(key, data):
    """AES-128-ECB without any padding, for building odd final blocks."""
    enc = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    return enc.update(data) + enc.finalize()


class KnownAnswers(unittest.TestCase):
    def test_aes128_fips197(self):
        # A 16-byte key material is the AES key itself; the first block of
        # the output is the plain AES block, the second the padding block.
        for key, plain, cipher in (
            ("000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
             "69c4e0d86a7b0430d8cdb78070b4c55a"),
            ("2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
             "3925841d02dc09fbdc118597196a0b32"),
        ):
            with self.subTest(key=key):
                out = crypto.encrypt(H(plain), H(key))
                self.assertEqual(out[:16].hex(), cipher)
                self.assertEqual(out[16:], raw_aes(H(key), b"\x10" * 16))

    def test_md5_rfc1321(self):
        for text, digest in (
            ("", "d41d8cd98f00b204e9800998ecf8427e"),
            ("a", "0cc175b9c0f1b6a831c399e269772661"),
            ("abc", "900150983cd24fb0d6963f7d28e17f72"),
            ("message digest", "f96b697d7cb7938d525a2f31aaf161d0"),
            ("abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"),
            ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
             "d174ab98d277d9f5a5611c2c9f419d9f"),
            ("1234567890" * 8, "57edf4a22be3c955ac49da2e2107b67a"),
        ):
            with self.subTest(text=text):
                self.assertEqual(crypto.md5(text).hex(), digest)

    def test_base64_rfc4648(self):
        for plain, text in (("", ""), ("f", "Zg=="), ("fo", "Zm8="), ("foo", "Zm9v"),
                            ("foob", "Zm9vYg=="), ("fooba", "Zm9vYmE="), ("foobar", "Zm9vYmFy")):
            with self.subTest(plain=plain):
                self.assertEqual(crypto.b64encode(plain.encode()), text)
                self.assertEqual(crypto.b64decode(text), plain.encode())
                self.assertEqual(crypto.b64decode(text, strict=False), plain.encode())

    def test_reference_ciphertexts(self):
        # (plaintext, key material, prepared key, ciphertext), from an
        # independent implementation of the payload cipher.
        for plain, material, prepared, cipher in (
            ("", "", "01010101010101010101010101010101", "68434d37d7f69f0e03b75bb15bc94b6c"),
            ("", "12345", "31323334350101010101010101010101", "7e5d85bb660d9094c114ff4e4f51f666"),
            ("a" * 15, "12345", "31323334350101010101010101010101", "d744f14dd7dfa08a74fad2dfaafcd19b"),
            ("b" * 16, "\x01" * 16, "01010101010101010101010101010101",
             "9cfa8f396f92d76c5f47ca1dce9c12a868434d37d7f69f0e03b75bb15bc94b6c"),
            ("c" * 17, "x" * 20, "78787878787878787878787878787878",
             "8262f3cc97dae7ab545d98f92cc4248f38a6dac7fe8e0f871eb07c1854a13c37"),
            ("<settings/>", "tide_lamps", "746964655f6c616d7073010101010101", "50a77ddbc7727618df831e913f10a29a"),
            ("Hello, guard", "{3C8A61F0-5B2D-4E97-8F14-A6D09C2E7B35}", "7b33433841363146302d354232442d34",
             "8e81315b4f14b72412998aae03bd91a7"),
        ):
            with self.subTest(plain=plain, material=material):
                self.assertEqual(crypto.prepare_key(material.encode()).hex(), prepared)
                self.assertEqual(crypto.encrypt(plain.encode(), material.encode()).hex(), cipher)
                self.assertEqual(crypto.decrypt(H(cipher), material.encode()), plain.encode())

    def test_fixed_keys(self):
        self.assertEqual(crypto.encrypt(b"<settings/>", crypto.SETTINGS_FILE_KEY).hex(),
                         "50a77ddbc7727618df831e913f10a29a")
        self.assertEqual(crypto.encrypt(b"Hello, guard", crypto.MESSENGER_KEY).hex(),
                         "8e81315b4f14b72412998aae03bd91a7")

    def test_password_hashes(self):
        for password, hashed in (("harbour", "CGCbzzh9ExYqUp+8Dt/1CA=="),
                                 ("HiddenMarigold", "YHPbWGFM+IHNox7JSHsHAg=="),
                                 ("", "1B2M2Y8AsgTpgAmY7PhCfg=="),
                                 (" spaced ", "Rp6DQXCQ8X8fiVZof6bjRw==")):
            with self.subTest(password=password):
                self.assertEqual(crypto.password_hash(password), hashed)


class Padding(unittest.TestCase):
    def test_output_lengths(self):
        for n, size in ((0, 16), (15, 16), (16, 32), (17, 32), (31, 32), (32, 48)):
            with self.subTest(n=n):
                self.assertEqual(len(crypto.encrypt(b"x" * n, b"k")), size)

    def test_empty_input_is_one_padding_block(self):
        out = crypto.encrypt(b"", b"")
        self.assertEqual(out, raw_aes(b"\x01" * 16, b"\x10" * 16))
        self.assertEqual(crypto.decrypt(out, b""), b"")
        self.assertEqual(crypto.decrypt_lenient(out, b""), b"")

    def test_round_trip_every_length_and_key_size(self):
        for klen in (0, 5, 16, 20):
            key = bytes(range(1, klen + 1))
            for n in range(49):
                data = bytes((i * 7 + n) & 0xFF for i in range(n))
                ct = crypto.encrypt(data, key)
                self.assertEqual(crypto.decrypt(ct, key), data, (klen, n))
                self.assertEqual(crypto.decrypt_lenient(ct, key), data, (klen, n))

    def test_key_material_past_16_bytes_is_ignored(self):
        a = crypto.encrypt(b"same", b"0123456789abcdefXYZ")
        b = crypto.encrypt(b"same", b"0123456789abcdef")
        self.assertEqual(a, b)

    def test_short_input_is_invalid_format(self):
        for fn in (crypto.decrypt, crypto.decrypt_lenient):
            with self.subTest(fn=fn.__name__):
                with self.assertRaisesRegex(crypto.CipherError, "Invalid file format"):
                    fn(b"\0" * 15, b"k")
                with self.assertRaisesRegex(crypto.CipherError, "Invalid file format"):
                    fn(b"", b"k")

    def test_lenient_reader_rules(self):
        key = crypto.prepare_key(b"k")
        body = b"A" * 16
        # Trailing bytes past the last whole block are never read.
        ct = crypto.encrypt(b"A" * 20, b"k")
        self.assertEqual(crypto.decrypt_lenient(ct + b"\xff" * 8, b"k"), b"A" * 20)
        # The last byte alone says how much padding there is.
        for last, kept in ((0, 16), (17, 0), (255, 0), (3, 13)):
            with self.subTest(last=last):
                ct = raw_aes(key, body + b"B" * 15 + bytes([last]))
                self.assertEqual(crypto.decrypt_lenient(ct, b"k"), body + (b"B" * 15 + bytes([last]))[:kept])

    def test_server_reader_refuses_what_the_agent_never_sends(self):
        key = crypto.prepare_key(b"k")
        good = crypto.encrypt(b"A" * 20, b"k")
        for name, data in (
            ("partial block", good + b"\0" * 8),
            ("padding byte 0", raw_aes(key, b"B" * 15 + b"\x00")),
            ("padding byte 17", raw_aes(key, b"B" * 15 + b"\x11")),
            ("inconsistent padding", raw_aes(key, b"B" * 13 + b"\x01\x02\x03")),
        ):
            with self.subTest(name):
                with self.assertRaises(crypto.CipherError):
                    crypto.decrypt(data, b"k")

    def test_wrong_key_is_detected_by_the_server_reader(self):
        ct = crypto.encrypt(b"<command/>", b"right")
        with self.assertRaises(crypto.CipherError):
            crypto.decrypt(ct, b"wrong")


class Base64Reading(unittest.TestCase):
    def test_agent_rules(self):
        for text, raw in (("abc", ""), ("QQ==", "41"), ("QUI=", "4142"), ("QUJD", "414243"),
                          ("QUJDRA", "414243"), ("QUJDRA==", "41424344")):
            with self.subTest(text=text):
                self.assertEqual(crypto.b64decode(text, strict=False).hex(), raw)

    def test_strict_reading_reports_encoding_faults(self):
        for text in ("abc", "QUJDRA", "QQ==QUJD", "Q===", "QU-D", "QU D"):
            with self.subTest(text=text):
                with self.assertRaises(ValueError):
                    crypto.b64decode(text)

    def test_encoded_lengths(self):
        for n in (1, 2, 3):
            self.assertEqual(len(crypto.b64encode(b"z" * n)), 4)
        self.assertEqual(crypto.b64encode(b""), "")


class QueryValues(unittest.TestCase):
    def test_path_encoding(self):
        for text, encoded in (("MY PC", "MY%20PC"), ("LAB-07", "LAB-07"),
                              ('a*b<c>d#e%f"g{h}i|j\\k^l[m]n`o+p',
                               "a%2Ab%3Cc%3Ed%23e%25f%22g%7Bh%7Di%7Cj%5Ck%5El%5Bm%5Dn%60o%2Bp"),
                              ("AA:BB:CC:DD:EE:FF", "AA:BB:CC:DD:EE:FF"), ("café", "caf%C3%A9"),
                              ("x=1&y/z:w", "x=1&y/z:w")):
            with self.subTest(text=text):
                self.assertEqual(path_encode(text), encoded)
                self.assertEqual(percent_decode(encoded), text)

    def test_query_split(self):
        warnings = []
        pairs = parse_query("hostname=MY%20PC&nochange=12&mac=AA:BB&&x=a+b&", warnings)
        self.assertEqual(pairs, [("hostname", "MY PC"), ("nochange", "12"), ("mac", "AA:BB"), ("x", "a+b")])
        # A "+" is always escaped by the agent; a bare one is worth a note.
        self.assertTrue(any("'+'" in w for w in warnings))

    def test_stray_percent_is_kept_and_noted(self):
        warnings = []
        self.assertEqual(percent_decode("50%", warnings), "50%")
        self.assertTrue(warnings)


if __name__ == "__main__":
    unittest.main()
