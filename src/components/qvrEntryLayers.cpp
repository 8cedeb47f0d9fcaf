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

namespace {

// Judges where the entry's data ended against its sizes, once decoding is over: data
// past the declared size, data that ends short of it, a stream whose end is cut away,
// and bytes Left unread after the end of data that has one. What a decoder reported
// itself stands; a write that failed or a cancel has nothing to add. The verdict fails
// with the one report made here (TEntrySink::Passes), whatever the CRC says: with a
// declared size lowered and the CRC of what precedes it, only the sizes tell.
void JudgeDataEnd(TDecodeResult Result, TEntrySink& Sink, int64_t Left)
{
    if (Sink.FailCode() != 0 || Sink.WriteFailed()) return;
    const char* why = nullptr;
    const bool known = Sink.Expected() >= 0;
    const bool whole = known && Sink.Written() == Sink.Expected();
    if (Sink.Overflowed())
        why = "data goes on past its stated size";
    else if (Result == TDecodeResult::Done && known && !whole)
        why = "stream ends before its stated size";
    // A stream that fails past the declared size (which a decoder only reads to find its
    // end) goes on there with data that is not its end.
    else if (Result == TDecodeResult::BadData && whole)
        why = "data goes on past its stated size";
    else if (Result == TDecodeResult::Truncated && whole)
        why = "stream cut short of its end";
    else if (Result == TDecodeResult::Done && Left > 0)
        why = "bytes left after the end of the stream";
    if (why) Sink.Fail(E_BADBLOCK, why);
}

} // namespace

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
    // Nothing to decode and nothing to make: an empty file, whatever its method.
    TDecodeResult result = TDecodeResult::Done;
    try {
        if (Entry.PackedBytes() > 0 || info.UncompressedSize != 0)
            result = Method.Decode(in, Sink, info);
    } catch (...) {
        // Reported where it arose; the writes behind are waited for all the same, since
        // the verdict and the file are the caller's once this returns.
        Sink.FinishWrites(false);
        throw;
    }
    Sink.FinishWrites();
    // The decoder has given back what it read past its data's end.
    JudgeDataEnd(result, Sink, Method.EndsInData ? Entry.PackedBytes() - window.Position() : 0);
    // Whatever the decoder made of them, bytes that fail their code are not the entry's.
    if (aes && !aes->Authentic(Stream)) Sink.Forged("authentication code does not match");
    return result;
}
