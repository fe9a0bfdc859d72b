// The CNG hashing backend under wine: FIPS 180-4 vectors and a multi-block file.
#include "download/sha256.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int failures = 0;

std::string hex(const std::uint8_t (&digest)[Sha256::DigestSize])
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t byte : digest) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

void check(const char *what, Sha256 &hash, const char *expected)
{
    std::uint8_t digest[Sha256::DigestSize];
    const bool finished = hash.finish(digest);
    const std::string got = finished ? hex(digest) : std::string("(failed)");
    const bool ok = got == expected;
    std::printf("%s %s: %s\n", ok ? "ok  " : "FAIL", what, got.c_str());
    if (!ok)
        ++failures;
}

std::vector<unsigned char> generated()
{
    std::vector<unsigned char> data(200000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>((i * 7 + 13) % 251);
    return data;
}

} // namespace

int wmain()
{
    {
        Sha256 hash;
        check("empty input", hash,
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    }
    {
        Sha256 hash;
        hash.update("abc", 3);
        check("abc", hash, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }
    {
        const char *text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
        Sha256 hash;
        hash.update(text, std::strlen(text));
        check("448 bits", hash, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    }
    {
        // A million "a", fed in uneven pieces so block boundaries fall everywhere.
        const std::string chunk(997, 'a');
        Sha256 hash;
        std::size_t left = 1000000;
        std::size_t piece = 1;
        while (left > 0) {
            const std::size_t n = piece < left ? piece : left;
            hash.update(chunk.data(), n);
            left -= n;
            piece = piece * 3 % 997 + 1;
        }
        check("one million a", hash,
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
    {
        // Written to disk and read back in 65536-byte blocks, as the updater does.
        const std::vector<unsigned char> data = generated();
        const wchar_t *name = L"sha256_blocks.bin";
        HANDLE out = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        CloseHandle(out);
        HANDLE in = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        Sha256 hash;
        std::vector<unsigned char> block(65536);
        DWORD got = 0;
        while (ReadFile(in, block.data(), static_cast<DWORD>(block.size()), &got, nullptr) &&
               got > 0)
            hash.update(block.data(), got);
        CloseHandle(in);
        DeleteFileW(name);
        check("multi-block file", hash,
              "20203300e99c0ec31691c0d0c3ee6d9673d30d77e3652db5b1cb33a681d76b89");
    }
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
