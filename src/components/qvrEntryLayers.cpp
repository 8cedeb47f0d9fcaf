#include "qvrEntryLayers.h"

#include "qvrAesInput.h"
#include "qvrCrypt.h"
#include "qvrEntryInput.h"

#include <cstring>
#include <optional>

bool KeyEntry(TZipEntry& Entry, const std::string& Password, const uint8_t* Header)
{
    if (Entry.IsAes())
        return !Password.empty() && Entry.AesKeys.Derive(Password, Entry.Aes.Strength, Header);
    // The check deciphers its copy in place.
    uint8_t buf[25] = {};
    std::memcpy(buf, Header, 12);
    std::memcpy(buf + 12, Header, 12);
    return PassesCheckByte(Entry, Password, buf);
}

bool PassesCheckByte(TZipEntry& Entry, const std::string& Password, uint8_t Header[24])
{
    return CheckHeader(Entry.Cipher, Header, Entry.LocalFlags, Entry.Crc, Password,
                       Entry.LocalDosDateTime);
}

TDecodeResult DecodeEntryLayers(const TMethodRow& Method, TStream32& Stream,
                                const TZipEntry& Entry, TEntrySink& Sink, bool MacBeside,
                                bool Whole)
{
    TWindowStream window(Stream, Entry.PackedBytes());
    // The cipher layers work on their own copies of the entry's keys.
    std::optional<TCipherStream> cipher;
    std::optional<TAesStream> aes;
    if (Entry.IsAes()) aes.emplace(window, Entry.AesKeys, MacBeside);
    else if (Entry.Encrypted()) cipher.emplace(window, Entry.Cipher);
    TStream32& in = aes      ? static_cast<TStream32&>(*aes)
                    : cipher ? static_cast<TStream32&>(*cipher)
                             : window;
    // The decoder sees the method beneath an AES cipher.
    TEntryInfo info = Entry.Info;
    info.Method = Entry.DecodedMethod();
    if (Whole) Sink.LendWholeBuffer(&Sink.Buffers().Whole());
    TDecodeResult result;
    try {
        result = Method.Decode(in, Sink, info);
    } catch (...) {
        // Reported where it arose; the writes behind are waited for all the same, since
        // the verdict and the file are the caller's once this returns.
        Sink.FinishWrites(false);
        throw;
    }
    Sink.FinishWrites();
    // Whatever the decoder made of them, bytes that fail their code are not the entry's.
    if (aes && !aes->Authentic(Stream)) Sink.Forged("authentication code does not match");
    return result;
}
