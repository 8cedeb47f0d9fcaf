// One entry of the walk: the begin step, the method lookup, the password search, the
// output file, the entry's bytes through their layers into the sink, and the verdict.
#include "qvrEntryInput.h"
#include "qvrUnZip.h"

#include <cstring>
#include <optional>

namespace {

constexpr uint16_t FlagEncrypted = 0x0001;
constexpr uint16_t FlagDescriptor = 0x0008;
constexpr uint32_t AttrDirectory = 0x10;

} // namespace

void TUnZip::DeclineEntry()
{
    --FFileCount;
    SkipProgress(FEntryInfo);
}

bool TUnZip::ExtractEntry(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TFileStream32>& Out,
                          int32_t /*Index*/, uint32_t ExternalAttr)
{
    // A name ending in a separator is a folder whatever its attributes say: the local
    // header scan has no attributes at all.
    if (!FEntryName.empty() && FEntryName.back() == '\\') ExternalAttr |= AttrDirectory;
    const bool isDirectory = ExternalAttr & AttrDirectory;
    const bool testing = FRunMode == rmTest;
    if (!(testing ? BeginTest(isDirectory) : BeginFile(isDirectory))) {
        SkipProgress(FEntryInfo);
        return false;
    }
    if (FArcType == atJar || FArcType == atJarExe)
        ExternalAttr = ExtractFileName(FFileName).empty() ? AttrDirectory : 0x20;
    FEncrypted = false;
    if (ExternalAttr & AttrDirectory) {
        if (testing || !FCreateStoredDirs) return EndEntry(true);
        // Made like the folders of a file: a link on the way fails it.
        const std::string folder = AppendDirTail(FFileName);
        if (!MakeOutputFolder(folder)) {
            ReportError(FFileName, "", E_OPENERR, "0");
            return EndEntry(false);
        }
        NoteChangedName(FFileName);
        return EndEntry(true);
    }

    // Nothing is touched for an entry that cannot be decoded: no password is asked for
    // and no file is created or truncated.
    const TMethodRow* method = FindMethod(FEntryInfo.Method);
    if (!method) {
        ReportError(FFileName, "", E_UNSUPPORTEDMETHOD, "0");
        DeclineEntry();
        return false;
    }
    FEncrypted = FEntryInfo.Flags & FlagEncrypted;
    if (FEncrypted) {
        // Once no password was found, every later encrypted entry of the run is skipped
        // without another search; the search has made its own reports.
        if (!FBadPassword && !VerifyPassword(*Stream)) FBadPassword = true;
        if (FBadPassword) {
            DeclineEntry();
            FFileName = FEntryName;
            return false;
        }
    }
    // A test decodes into a sink without a file.
    if (!testing && !OpenOutput(Out, FFileName, FEntryName)) {
        Out.reset();
        ReportError(FFileName, "", E_OPENERR, "0");
        DeclineEntry();
        return EndEntry(false);
    }

    // An entry written with a data descriptor has no reliable CRC in its local header:
    // zero, or (encrypted, from Info-ZIP) the DOS time in its high half. The directory's
    // CRC is the one to judge it by.
    const bool described = FLocalHdr.Flags() & FlagDescriptor;
    if (FCentralHdr.CompressedSize() != 0 && (FLocalHdr.Crc() == 0 || described))
        FLocalHdr.SetCrc(FCentralHdr.Crc());
    TEntrySink sink(this, Out.get(), FEntryInfo.UncompressedSize);
    try {
        DecompressEntry(*method, *Stream, sink);
    } catch (...) {
        // Reported where it arose (a full disk); the entry ends with what it has.
    }
    sink.FinishProgress();
    if (sink.FailCode() != 0) ReportError(FFileName, "", sink.FailCode(), "0");
    if (!testing) CloseOutput(Out, FFileName, ExternalAttr, FLocalHdr.DosDateTime());
    Crc32Acc = sink.Crc();
    return EndEntry(sink.Passes(FLocalHdr.Crc()));
}

TDecodeResult TUnZip::DecompressEntry(const TMethodRow& Method, TStream32& Stream,
                                      TEntrySink& Sink)
{
    // The password search has read the 12-byte encryption header already.
    FPackedLeft = FEntryInfo.CompressedSize - (FEncrypted ? 12 : 0);
    if (FPackedLeft < 0) FPackedLeft = 0;
    // A spanned set's next disk must show a record where this entry's data ends.
    if (FVolumes) FRecordAt = Stream.Position() + FPackedLeft;
    TWindowStream window(Stream, FPackedLeft);
    std::optional<TCipherStream> cipher;
    if (FEncrypted) cipher.emplace(window, FEntryCipher);
    TStream32& in = cipher ? static_cast<TStream32&>(*cipher) : window;
    return Method.Decode(in, Sink, FEntryInfo);
}

// ---------------------------------------------------------------------------------
// Passwords

bool TUnZip::CheckPassword(uint8_t* Header)
{
    return CheckHeader(FEntryCipher, Header, FLocalHdr.Flags(), FLocalHdr.Crc(), FPassword,
                       FLocalHdr.DosDateTime());
}

bool TUnZip::VerifyPassword(TStream32& Stream)
{
    TTimerPause pause(FTimer);
    uint8_t buf[25] = {};
    Stream.ReadFull(buf, 12);
    std::memcpy(buf + 12, buf, 12);
    bool ok = CheckPassword(buf);
    for (size_t i = 0; !ok && i < FPasswords.size(); ++i) {
        FPassword = FPasswords[i];
        ok = CheckPassword(buf);
    }
    if (ok) return true;
    if (!OnGetPassword) {
        ReportError(FFileName, "OnGetPassword", E_REQUIREDEVENT, "0");
        return false;
    }
    bool tryAgain = true;
    for (int32_t attempt = 0; attempt < FPasswordAttempts; ++attempt) {
        if (GetCancel()) break;
        OnGetPassword(*this, FFileName, FPassword, tryAgain);
        if (!tryAgain) {
            ReportError(FFileName, "", E_INVALIDPASSWORD, "0");
            break;
        }
        if (CheckPassword(buf)) {
            FPasswords.insert(FPasswords.begin(), FPassword);
            return true;
        }
        FPassword.clear();
        ReportError(FFileName, "", E_INVALIDPASSWORD, "0");
    }
    return false;
}
