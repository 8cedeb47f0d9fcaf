// One entry of the walk: the begin step, the method lookup, the password search, the
// output file, the entry's bytes through their layers into the sink, and the verdict.
#include "qvrEntryInput.h"
#include "qvrUnZip.h"
#include "qvrPlatform.h"

#include <algorithm>
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

bool TUnZip::ExtractEntry(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out,
                          int32_t /*Index*/, uint32_t ExternalAttr)
{
    // A name ending in a separator is a folder whatever its attributes say: the local
    // header scan has no attributes at all.
    if (!FEntryName.empty() && FEntryName.back() == '\\') ExternalAttr |= AttrDirectory;
    const uint32_t mode = UnixModeOf(FEntryInfo.Host, ExternalAttr);
    if (IsFolderMode(mode)) ExternalAttr |= AttrDirectory;
    const bool isDirectory = ExternalAttr & AttrDirectory;
    // A read has no bytes to give for a folder, and no verdict either.
    if (FRunMode == rmRead && isDirectory) return false;
    // A test and a read decode into a sink without a file: a read's sink writes to the
    // caller's stream.
    const bool testing = FRunMode == rmTest || FRunMode == rmRead;
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
            ReportError(FFileName, qvrOS::ErrorText(qvrOS::LastError()), E_OPENERR, "0");
            return EndEntry(false);
        }
        NoteFolder(folder, OutputFacts(ExternalAttr));
        NoteChangedName(FFileName);
        return EndEntry(true);
    }

    // Nothing is touched for an entry that cannot be decoded: no password is asked for
    // and no file is created or truncated.
    const TMethodRow* method = FindMethod(FEntryInfo.Method);
    if (!method) {
        ReportError(FFileName, DescribeMethod(FEntryInfo.Method), E_UNSUPPORTEDMETHOD, "0");
        DeclineEntry();
        return false;
    }
    // An entry written with a data descriptor has no reliable CRC in its local header:
    // zero, or (encrypted, from Info-ZIP) the DOS time in its high half. The directory's
    // CRC is the one to judge it by, and to check a password against.
    const bool described = FLocalHdr.Flags() & FlagDescriptor;
    if (FCentralHdr.CompressedSize() != 0 && (FLocalHdr.Crc() == 0 || described))
        FLocalHdr.SetCrc(FCentralHdr.Crc());
    FEncrypted = FEntryInfo.Flags & FlagEncrypted;
    uint8_t header[12] = {};
    if (FEncrypted) {
        // Once no password was found, every later encrypted entry of the run is skipped
        // without another search (unless each entry has a search of its own); the
        // search has made its own reports.
        // A header cut short is checked as far as it goes (the rest reads as zeros) and
        // fails the search like any wrong header.
        bool opened = false;
        if (!FBadPassword) {
            Stream->ReadFull(header, sizeof header);
            opened = VerifyPassword(header);
            if (!opened && !FPasswordPerEntry) FBadPassword = true;
        }
        if (!opened) {
            ++FPasswordSkips;
            DeclineEntry();
            FFileName = FEntryName;
            return false;
        }
    }
    // A link holds its target as its data; where links can be made, the entry becomes
    // one instead of a file.
    if (!testing && FCreateLinks && IsLinkMode(UnixModeOf(FEntryInfo.Host, ExternalAttr)) &&
        qvrOS::MakesSymbolicLinks())
        return ExtractLink(*Stream, *method);
    // A test or a read decodes into a sink without a file.
    std::string reason;
    if (!testing && !OpenOutput(Out, FFileName, reason)) {
        Out.reset();
        ReportError(FFileName, reason, E_OPENERR, "0");
        DeclineEntry();
        return EndEntry(false);
    }

    const int64_t dataAt = Stream->Position();
    const int64_t bytesLeft = FBytesLeft;
    std::vector<std::string> failed; // passwords of the list this entry failed with
    for (;;) {
        TStream32* target = FRunMode == rmRead ? FReadTarget : Out.get();
        TEntrySink sink(this, target, FEntryInfo.UncompressedSize);
        try {
            DecompressEntry(*method, *Stream, sink);
        } catch (...) {
            // Reported where it arose (a full disk); the entry ends with what it has.
        }
        bool pass = sink.Passes(FLocalHdr.Crc()) && !GetCancel();
        // One wrong password in 256 passes the check byte, and then only the data can
        // tell: the list's other passwords get their turn before the entry fails.
        if (!pass && FEncrypted && !sink.WriteFailed() && !GetCancel() &&
            RetryPassword(header, failed, *Stream, dataAt) && RestartOutput(Out)) {
            FBytesLeft = bytesLeft;
            continue;
        }
        sink.FinishProgress();
        if (sink.FailCode() != 0)
            ReportError(FFileName, sink.FailDetail(), sink.FailCode(), "0");
        bool kept = false, finished = true;
        if (!testing)
            finished = CloseOutput(Out, FFileName, OutputFacts(ExternalAttr), pass, kept) || !pass;
        Crc32Acc = sink.Crc();
        // A file that could not be finished has its report already.
        const bool verdict = EndEntry(pass && finished, !finished);
        // After a cancel the host has asked for quiet: no notice.
        if (kept && !GetCancel()) ReportError(FFileName, "", E_KEPTEXISTING, "0");
        return verdict;
    }
}

TOutputFacts TUnZip::OutputFacts(uint32_t ExternalAttr) const
{
    TOutputFacts f;
    f.Attributes = ExternalAttr;
    f.Mode = UnixModeOf(FEntryInfo.Host, ExternalAttr);
    f.DosDate = FLocalHdr.DosDateTime();
    f.Modified = FEntryInfo.Modified;
    return f;
}

bool TUnZip::ReadLinkTarget(TStream32& Stream, const TMethodRow& Method, std::string& Target,
                            bool Owner)
{
    Target.clear();
    // The target is held in memory whole: a claim past the bound is refused unread.
    if (FEntryInfo.UncompressedSize <= 0 || FEntryInfo.UncompressedSize > MaxLinkTarget)
        return false;
    TStringOutput32 bytes;
    TEntrySink sink(Owner ? this : nullptr, &bytes, FEntryInfo.UncompressedSize);
    try {
        DecompressEntry(Method, Stream, sink);
    } catch (...) {
        return false;
    }
    if (Owner) sink.FinishProgress();
    if (!sink.Passes(FLocalHdr.Crc())) return false;
    Target = bytes.Text();
    return true;
}

bool TUnZip::ExtractLink(TStream32& Stream, const TMethodRow& Method)
{
    if (FEntryInfo.UncompressedSize > MaxLinkTarget) {
        ReportError(FFileName, "link target longer than 4096 bytes", E_BADHEADER, "0");
        DeclineEntry();
        return EndEntry(false, true);
    }
    std::string target;
    if (!ReadLinkTarget(Stream, Method, target, true)) return EndEntry(false);
    Crc32Acc = FLocalHdr.Crc();
    // A zero byte would end the target early: what it names is not what was stored.
    std::string leaf;
    const bool made = target.find('\0') == std::string::npos &&
                      OutputFolder(FFileName, true, leaf) == qvrOS::TFolderState::Ready &&
                      FOutputTree.Link(leaf, target, FReplaceReadOnly);
    if (!made) {
        ReportError(FFileName, qvrOS::ErrorText(qvrOS::LastError()), E_OPENERR, "0");
        --FFileCount;
        return EndEntry(false, true);
    }
    NoteChangedName(FFileName);
    return EndEntry(true);
}

bool TUnZip::RetryPassword(const uint8_t* Header, std::vector<std::string>& Failed,
                           TStream32& Stream, int64_t DataAt)
{
    // A split set would have to go back to an earlier part (a disk taken out already).
    if (FVolumeSet.Reading()) return false;
    Failed.push_back(FPassword);
    for (const std::string& p : FPasswords) {
        if (std::find(Failed.begin(), Failed.end(), p) != Failed.end()) continue;
        FPassword = p;
        if (TryPassword(Header)) return Stream.Seek(DataAt, 0) == DataAt;
        Failed.push_back(p);
    }
    // The password that passed the check stays the one to try first.
    FPassword = Failed.front();
    return false;
}

bool TUnZip::RestartOutput(std::unique_ptr<TOutputStream>& Out)
{
    // Bytes handed to a reader's stream cannot be taken back.
    if (FRunMode == rmRead) return false;
    if (!Out) return true;
    return Out->Seek(0, 0) == 0 && qvrOS::FileSetEnd(Out->Handle());
}

TDecodeResult TUnZip::DecompressEntry(const TMethodRow& Method, TStream32& Stream,
                                      TEntrySink& Sink)
{
    // The password search has read the 12-byte encryption header already.
    FPackedLeft = FEntryInfo.CompressedSize - (FEncrypted ? 12 : 0);
    if (FPackedLeft < 0) FPackedLeft = 0;
    // A spanned set's next disk must show a record where this entry's data ends.
    if (FVolumeSet.Reading()) FVolumeSet.RecordAt(Stream.Position() + FPackedLeft);
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

bool TUnZip::TryPassword(const uint8_t* Header)
{
    // The check deciphers its copy in place.
    uint8_t buf[25] = {};
    std::memcpy(buf, Header, 12);
    std::memcpy(buf + 12, Header, 12);
    return CheckPassword(buf);
}

bool TUnZip::VerifyPassword(const uint8_t* Header)
{
    TTimerPause pause(FTimer);
    bool ok = TryPassword(Header);
    for (size_t i = 0; !ok && i < FPasswords.size(); ++i) {
        FPassword = FPasswords[i];
        ok = TryPassword(Header);
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
        if (TryPassword(Header)) {
            FPasswords.insert(FPasswords.begin(), FPassword);
            return true;
        }
        FPassword.clear();
        ReportError(FFileName, "", E_INVALIDPASSWORD, "0");
    }
    return false;
}
