// The CNG SHA-256 backend on Windows: FIPS 180-4 vectors, uneven feeding, and a file
// hashed in the block size of the updater against a digest computed by sha256sum.
#include "download/sha256.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int failures = 0;

std::string hex(const std::uint8_t (&digest)[Sha256::DigestSize])
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

void expect(const char *what, Sha256 &hash, const char *expected)
{
    std::uint8_t digest[Sha256::DigestSize];
    const bool finished = hash.finish(digest);
    const std::string actual = finished ? hex(digest) : std::string("<finish failed>");
    if (actual != expected) {
        ++failures;
        std::printf("FAIL %s: got %s, expected %s\n", what, actual.c_str(), expected);
    } else {
        std::printf("ok   %s\n", what);
    }
}

void expectText(const char *text, const char *expected)
{
    Sha256 hash;
    hash.update(text, std::strlen(text));
    expect(text, hash, expected);
}

std::uint8_t patternByte(std::uint32_t i)
{
    return static_cast<std::uint8_t>((i * 2654435761u) >> 13);
}

} // namespace

int wmain()
{
    {
        Sha256 hash;
        expect("empty input", hash,
               "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    }
    expectText("abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    expectText("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
               "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    {
        // One million "a" in pieces that straddle the 64-byte block boundary.
        const std::vector<char> as(1000, 'a');
        Sha256 hash;
        std::size_t fed = 0, piece = 1;
        while (fed < 1000000) {
            const std::size_t n = std::min<std::size_t>({piece, 1000000 - fed, as.size()});
            hash.update(as.data(), n);
            fed += n;
            piece = piece * 7 % 997 + 1;
        }
        expect("one million a", hash,
               "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
    {
        const char *name = "sha256_blocks.bin";
        const std::uint32_t size = 3 * 65536 + 1234;
        std::FILE *out = std::fopen(name, "wb");
        for (std::uint32_t i = 0; out && i < size; ++i)
            std::fputc(patternByte(i), out);
        if (out)
            std::fclose(out);

        Sha256 hash;
        std::vector<char> block(65536);
        std::FILE *in = std::fopen(name, "rb");
        std::size_t n = 0;
        while (in && (n = std::fread(block.data(), 1, block.size(), in)) > 0)
            hash.update(block.data(), n);
        if (in)
            std::fclose(in);
        std::remove(name);
        expect("file in 65536-byte blocks", hash,
               "662a9088eb47c176a98c6f3c1457a9f92cb58f5ca2944e76be7781196517d55d");
    }
    {
        Sha256 hash;
        std::uint8_t digest[Sha256::DigestSize];
        hash.finish(digest);
        if (hash.update("x", 1) || hash.finish(digest)) {
            ++failures;
            std::printf("FAIL a finished hash accepted more input\n");
        }
    }
    std::printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
