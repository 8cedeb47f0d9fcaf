#include "qvrAesInput.h"

#include "qvrChunkPipe.h"
#include "qvrMethods.h"
#include "qvrPlatform.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

constexpr uint32_t AesRounds = 1000;
// Counter blocks enciphered per call to the crypto library.
constexpr size_t KeystreamBlocks = 256;
constexpr size_t Block = qvrOS::TAesBlocks::BlockSize;

bool KnownStrength(uint8_t Strength) { return Strength >= 1 && Strength <= 3; }

} // namespace

std::string AesFieldProblem(const TAesFacts& Facts, bool Encrypted)
{
    const std::string method = DescribeMethod(99);
    if (!Facts.Present) return method + " without its 0x9901 field";
    if (Facts.Malformed) return method + " with a malformed 0x9901 field";
    if (Facts.Version != 1 && Facts.Version != 2)
        return method + " with an unknown vendor version " + std::to_string(Facts.Version);
    if (!KnownStrength(Facts.Strength))
        return method + " with an unknown strength " + std::to_string(Facts.Strength);
    if (!Encrypted) return method + " not flagged as encrypted";
    return {};
}

std::string AesMethodName(uint8_t Strength, uint16_t Method)
{
    if (!KnownStrength(Strength)) return MethodName(99);
    const char* beneath = MethodName(Method);
    return "AES-" + std::to_string(64 + 64 * Strength) + "/" +
           (beneath ? std::string(beneath) : "method " + std::to_string(Method));
}

// ---------------------------------------------------------------------------------
// Keys

TAesKeys::~TAesKeys() { Clear(); }

void TAesKeys::Clear()
{
    qvrOS::WipeMemory(FBytes, sizeof FBytes);
    FKeySize = 0;
}

bool TAesKeys::Derive(const std::string& Password, uint8_t Strength, const uint8_t* Header)
{
    Clear();
    if (!KnownStrength(Strength)) return false;
    const size_t key = AesKeySize(Strength);
    if (!qvrOS::DerivePbkdf2Sha1(Password, Header, AesSaltSize(Strength), AesRounds, FBytes,
                                 2 * key + AesVerifierSize)) {
        Clear();
        return false;
    }
    FKeySize = key;
    return std::memcmp(FBytes + 2 * key, Header + AesSaltSize(Strength), AesVerifierSize) == 0;
}

// ---------------------------------------------------------------------------------
// The cipher layer

struct TAesStream::TCrypto {
    qvrOS::TAesBlocks Aes;
    qvrOS::THmacSha1 Mac;
    // Feeds Mac on its own thread when there is one; ends (and is joined) before Mac goes.
    std::optional<TChunkPipe> Worker;
    TCrypto(const TAesKeys& Keys)
        : Aes(Keys.CipherKey(), Keys.KeySize()), Mac(Keys.MacKey(), Keys.KeySize())
    {
    }
};

TAesStream::TAesStream(TStream32& Window, const TAesKeys& Keys, bool MacBeside)
    : FWindow(Window), FCrypto(std::make_unique<TCrypto>(Keys))
{
    FBroken = !FCrypto->Aes.Ready() || !FCrypto->Mac.Ready();
    if (MacBeside && !FBroken) {
        qvrOS::THmacSha1& mac = FCrypto->Mac;
        FCrypto->Worker.emplace([&mac](const uint8_t* P, size_t Size) { mac.Update(P, Size); });
    }
}

TAesStream::~TAesStream() = default;

bool TAesStream::ApplyKeystream(uint8_t* Buf, int32_t Count, int64_t Pos)
{
    // The counters' high halves stay zero: 2^64 blocks is beyond any entry.
    uint8_t counters[KeystreamBlocks * Block] = {}, stream[KeystreamBlocks * Block];
    bool ok = true;
    for (int32_t done = 0; ok && done < Count;) {
        const uint64_t at = static_cast<uint64_t>(Pos + done);
        const size_t skip = at % Block;
        const size_t want = static_cast<size_t>(Count - done);
        const size_t blocks = std::min(KeystreamBlocks, (skip + want + Block - 1) / Block);
        // Block i of the data is enciphered under the counter i + 1, little-endian.
        for (size_t b = 0; b < blocks; ++b) {
            uint64_t counter = at / Block + b + 1;
            for (size_t i = 0; i < 8; ++i, counter >>= 8)
                counters[b * Block + i] = static_cast<uint8_t>(counter);
        }
        ok = FCrypto->Aes.Encipher(counters, stream, blocks);
        const size_t n = std::min(want, blocks * Block - skip);
        uint8_t* out = Buf + done;
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t a, k;
            std::memcpy(&a, out + i, 8);
            std::memcpy(&k, stream + skip + i, 8);
            a ^= k;
            std::memcpy(out + i, &a, 8);
        }
        for (; i < n; ++i) out[i] ^= stream[skip + i];
        done += static_cast<int32_t>(n);
    }
    qvrOS::WipeMemory(stream, sizeof stream);
    return ok;
}

void TAesStream::Feed(const uint8_t* Buf, int32_t Count, int64_t Pos)
{
    // Only the bytes that continue what the HMAC has: a stretch skipped by a seek is
    // fed when Authentic reads it.
    if (Pos > FFed || Pos + Count <= FFed) return;
    const uint8_t* from = Buf + (FFed - Pos);
    const size_t n = static_cast<size_t>(Pos + Count - FFed);
    if (FCrypto->Worker) FCrypto->Worker->Put(from, n);
    else FCrypto->Mac.Update(from, n);
    FFed = Pos + Count;
}

int32_t TAesStream::Read(void* Buffer, int32_t Count)
{
    if (Count <= 0 || FBroken) return 0;
    const int64_t pos = FWindow.Position();
    if (pos < 0) return 0;
    const int32_t n = std::max(FWindow.Read(Buffer, Count), 0);
    auto* p = static_cast<uint8_t*>(Buffer);
    Feed(p, n, pos);
    if (!ApplyKeystream(p, n, pos)) {
        // Without a keystream there is nothing to give: the decoder sees the data end.
        FBroken = true;
        std::memset(p, 0, static_cast<size_t>(n));
        return 0;
    }
    return n;
}

bool TAesStream::Authentic(TStream32& Source)
{
    if (FBroken || FWindow.Seek(FFed, 0) != FFed) return false;
    uint8_t buf[4096];
    for (int32_t n; (n = FWindow.Read(buf, sizeof buf)) > 0;) Feed(buf, n, FFed);
    // The whole of the data was fed unless the archive ended inside it.
    if (FWindow.Seek(0, 2) != FFed) return false;
    uint8_t stored[AesCodeSize], code[qvrOS::THmacSha1::CodeSize];
    if (Source.ReadFull(stored, sizeof stored) != static_cast<int32_t>(sizeof stored))
        return false;
    if (FCrypto->Worker) FCrypto->Worker->Finish();
    return FCrypto->Mac.Final(code) && std::memcmp(code, stored, AesCodeSize) == 0;
}
