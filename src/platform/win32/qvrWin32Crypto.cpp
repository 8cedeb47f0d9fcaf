// The crypto door on Windows: CNG (bcrypt.dll). AES runs on a key object of a provider
// set to ECB, HMAC-SHA1 on a hash object of a provider opened with the HMAC flag, and
// PBKDF2 through BCryptDeriveKeyPBKDF2 on that same kind of provider. Providers are
// opened per object: nothing is shared between components or threads.
#include "qvrPlatform.h"

#include <windows.h>

#include <bcrypt.h>

#include <climits>
#include <cstring>

namespace qvrOS {

namespace {

bool Succeeded(NTSTATUS Status) { return Status >= 0; }

// An algorithm provider, closed with its owner.
struct TProvider {
    BCRYPT_ALG_HANDLE Handle = nullptr;
    TProvider(LPCWSTR Algorithm, ULONG Flags)
    {
        if (!Succeeded(BCryptOpenAlgorithmProvider(&Handle, Algorithm, nullptr, Flags)))
            Handle = nullptr;
    }
    ~TProvider()
    {
        if (Handle) BCryptCloseAlgorithmProvider(Handle, 0);
    }
    TProvider(const TProvider&) = delete;
    TProvider& operator=(const TProvider&) = delete;
};

} // namespace

void WipeMemory(void* P, size_t Size)
{
    if (P && Size) SecureZeroMemory(P, Size);
}

bool DerivePbkdf2Sha1(std::string_view Password, const uint8_t* Salt, size_t SaltSize,
                      uint32_t Iterations, uint8_t* Out, size_t OutSize)
{
    if (Password.size() > ULONG_MAX || SaltSize > ULONG_MAX || OutSize > ULONG_MAX) return false;
    TProvider hmac(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (!hmac.Handle) return false;
    // CNG takes the password as mutable bytes; it does not write them.
    auto* pw = reinterpret_cast<PUCHAR>(const_cast<char*>(Password.data()));
    return Succeeded(BCryptDeriveKeyPBKDF2(hmac.Handle, pw, static_cast<ULONG>(Password.size()),
                                           const_cast<PUCHAR>(Salt),
                                           static_cast<ULONG>(SaltSize), Iterations, Out,
                                           static_cast<ULONG>(OutSize), 0));
}

// ---------------------------------------------------------------------------------
// AES blocks

struct TAesBlocks::TBody {
    TProvider Aes{BCRYPT_AES_ALGORITHM, 0};
    BCRYPT_KEY_HANDLE Key = nullptr;
    ~TBody()
    {
        if (Key) BCryptDestroyKey(Key); // wipes the key schedule
    }
};

TAesBlocks::TAesBlocks(const uint8_t* Key, size_t KeySize)
{
    if (KeySize != 16 && KeySize != 24 && KeySize != 32) return;
    auto body = std::make_unique<TBody>();
    if (!body->Aes.Handle) return;
    auto* mode = reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB));
    if (!Succeeded(BCryptSetProperty(body->Aes.Handle, BCRYPT_CHAINING_MODE, mode,
                                     sizeof(BCRYPT_CHAIN_MODE_ECB), 0)) ||
        !Succeeded(BCryptGenerateSymmetricKey(body->Aes.Handle, &body->Key, nullptr, 0,
                                              const_cast<PUCHAR>(Key),
                                              static_cast<ULONG>(KeySize), 0)))
        return;
    FBody = std::move(body);
}

TAesBlocks::~TAesBlocks() = default;

bool TAesBlocks::Encipher(const uint8_t* In, uint8_t* Out, size_t Count)
{
    const size_t bytes = Count * BlockSize;
    ULONG made = 0;
    if (FBody && bytes <= ULONG_MAX &&
        Succeeded(BCryptEncrypt(FBody->Key, const_cast<PUCHAR>(In), static_cast<ULONG>(bytes),
                                nullptr, nullptr, 0, Out, static_cast<ULONG>(bytes), &made,
                                0)) &&
        made == bytes)
        return true;
    std::memset(Out, 0, bytes);
    return false;
}

// ---------------------------------------------------------------------------------
// HMAC-SHA1

struct THmacSha1::TBody {
    TProvider Sha1{BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG};
    BCRYPT_HASH_HANDLE Hash = nullptr;
    bool Failed = false;
    ~TBody()
    {
        if (Hash) BCryptDestroyHash(Hash);
    }
};

THmacSha1::THmacSha1(const uint8_t* Key, size_t KeySize)
{
    if (KeySize > ULONG_MAX) return;
    auto body = std::make_unique<TBody>();
    if (!body->Sha1.Handle ||
        !Succeeded(BCryptCreateHash(body->Sha1.Handle, &body->Hash, nullptr, 0,
                                    const_cast<PUCHAR>(Key), static_cast<ULONG>(KeySize), 0)))
        return;
    FBody = std::move(body);
}

THmacSha1::~THmacSha1() = default;

void THmacSha1::Update(const uint8_t* P, size_t Size)
{
    if (!FBody || Size == 0) return;
    if (Size > ULONG_MAX ||
        !Succeeded(BCryptHashData(FBody->Hash, const_cast<PUCHAR>(P), static_cast<ULONG>(Size), 0)))
        FBody->Failed = true;
}

bool THmacSha1::Final(uint8_t Code[20])
{
    if (FBody && !FBody->Failed &&
        Succeeded(BCryptFinishHash(FBody->Hash, Code, static_cast<ULONG>(CodeSize), 0)))
        return true;
    std::memset(Code, 0, CodeSize);
    return false;
}

} // namespace qvrOS
