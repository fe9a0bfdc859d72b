#pragma once

// CNG handles that close themselves, for the Windows signature code (verification here,
// signing in QuorvexPublish).

#include <windows.h>

#include <bcrypt.h>

namespace cng {

struct Provider
{
    BCRYPT_ALG_HANDLE handle = nullptr;
    explicit Provider(LPCWSTR algorithm)
    {
        if (BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0) < 0)
            handle = nullptr;
    }
    ~Provider()
    {
        if (handle)
            BCryptCloseAlgorithmProvider(handle, 0);
    }
    Provider(const Provider &) = delete;
    Provider &operator=(const Provider &) = delete;
};

struct KeyHandle
{
    BCRYPT_KEY_HANDLE handle = nullptr;
    KeyHandle() = default;
    ~KeyHandle()
    {
        if (handle)
            BCryptDestroyKey(handle);
    }
    KeyHandle(const KeyHandle &) = delete;
    KeyHandle &operator=(const KeyHandle &) = delete;
};

struct HashHandle
{
    BCRYPT_HASH_HANDLE handle = nullptr;
    HashHandle() = default;
    ~HashHandle()
    {
        if (handle)
            BCryptDestroyHash(handle);
    }
    HashHandle(const HashHandle &) = delete;
    HashHandle &operator=(const HashHandle &) = delete;
};

} // namespace cng
