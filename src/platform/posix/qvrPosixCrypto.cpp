// The crypto door on POSIX: Nettle. Its PBKDF2 keeps the HMAC's inner and outer states
// and copies them each round, which matters here: an AES entry derives its keys with
// 1000 rounds, and an archive of thousands of small entries pays that per entry. AES
// and SHA-1 use the processor's AES and SHA instructions where Nettle finds them.
#include "qvrPlatform.h"

#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/nettle-meta.h>
#include <nettle/pbkdf2.h>

#include <cstring>
#include <memory>
#include <string.h>

namespace qvrOS {

void WipeMemory(void* P, size_t Size)
{
    if (P && Size) explicit_bzero(P, Size);
}

bool DerivePbkdf2Sha1(std::string_view Password, const uint8_t* Salt, size_t SaltSize,
                      uint32_t Iterations, uint8_t* Out, size_t OutSize)
{
    if (Iterations == 0 || OutSize == 0) return false;
    pbkdf2_hmac_sha1(Password.size(), reinterpret_cast<const uint8_t*>(Password.data()),
                     Iterations, SaltSize, Salt, OutSize, Out);
    return true;
}

// ---------------------------------------------------------------------------------
// AES blocks

struct TAesBlocks::TBody {
    const nettle_cipher* Cipher = nullptr;
    std::unique_ptr<uint8_t[]> Context;
    ~TBody()
    {
        if (Cipher) WipeMemory(Context.get(), Cipher->context_size);
    }
};

TAesBlocks::TAesBlocks(const uint8_t* Key, size_t KeySize)
{
    const nettle_cipher* cipher = KeySize == 16   ? &nettle_aes128
                                  : KeySize == 24 ? &nettle_aes192
                                  : KeySize == 32 ? &nettle_aes256
                                                  : nullptr;
    if (!cipher) return;
    auto body = std::make_unique<TBody>();
    body->Cipher = cipher;
    body->Context = std::make_unique<uint8_t[]>(cipher->context_size);
    cipher->set_encrypt_key(body->Context.get(), Key);
    FBody = std::move(body);
}

TAesBlocks::~TAesBlocks() = default;

bool TAesBlocks::Encipher(const uint8_t* In, uint8_t* Out, size_t Count)
{
    if (!FBody) {
        std::memset(Out, 0, Count * BlockSize);
        return false;
    }
    FBody->Cipher->encrypt(FBody->Context.get(), Count * BlockSize, Out, In);
    return true;
}

// ---------------------------------------------------------------------------------
// HMAC-SHA1

struct THmacSha1::TBody {
    hmac_sha1_ctx Ctx;
    bool Done = false;
    ~TBody() { WipeMemory(&Ctx, sizeof Ctx); }
};

THmacSha1::THmacSha1(const uint8_t* Key, size_t KeySize) : FBody(std::make_unique<TBody>())
{
    hmac_sha1_set_key(&FBody->Ctx, KeySize, Key);
}

THmacSha1::~THmacSha1() = default;

void THmacSha1::Update(const uint8_t* P, size_t Size)
{
    if (FBody && !FBody->Done && Size) hmac_sha1_update(&FBody->Ctx, Size, P);
}

bool THmacSha1::Final(uint8_t Code[20])
{
    if (!FBody || FBody->Done) {
        std::memset(Code, 0, CodeSize);
        return false;
    }
    hmac_sha1_digest(&FBody->Ctx, CodeSize, Code);
    FBody->Done = true;
    return true;
}

} // namespace qvrOS
