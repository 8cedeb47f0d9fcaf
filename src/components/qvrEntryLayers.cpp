#include "qvrEntryLayers.h"

#include "qvrAesInput.h"
#include "qvrCrypt.h"
#include "qvrEntryInput.h"

#include "qvrMessages.h"

#include <cstring>
#include <optional>

TEntryPlan PlanEntry(const TZipEntry& Entry)
{
    TEntryPlan plan;
    // An AES entry is decoded by the method its AES field names, once the field itself
    // can be read.
    if (Entry.IsAes()) plan.Reason = AesFieldProblem(Entry.Aes, Entry.Encrypted());
    if (plan.Reason.empty()) plan.Method = FindMethod(Entry.DecodedMethod());
    if (!plan.Method) {
        if (plan.Reason.empty()) plan.Reason = DescribeMethod(Entry.DecodedMethod());
        plan.Code = E_UNSUPPORTEDMETHOD;
        return plan;
    }
    // Data too short to hold the cipher's header (and an AES entry's code) was cut or
    // damaged: no password can be right or wrong for it.
    if (Entry.Encrypted() && Entry.Info.CompressedSize >= 0 &&
        Entry.Info.CompressedSize < Entry.CipherHeaderBytes() + Entry.CipherTrailerBytes()) {
        plan.Method = nullptr;
        plan.Code = E_BADHEADER;
        plan.Reason = "data shorter than its encryption header";
    }
    return plan;
}

bool ReadCipherHeader(TStream32& Stream, const TZipEntry& Entry, TCipherHeader& Header)
{
    const int32_t n = Entry.CipherHeaderBytes();
    if (n < 0 || static_cast<size_t>(n) > sizeof Header) return false;
    return Stream.ReadFull(Header, n) == n;
}

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
