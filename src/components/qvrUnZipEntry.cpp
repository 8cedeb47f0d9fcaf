// One entry of the walk: the begin step, the method lookup, the password search, the
// output file, the entry's bytes through their layers into the sink, and the verdict.
#include "qvrEntryInput.h"
#include "qvrEntryLayers.h"
#include "qvrUnZip.h"
#include "qvrPlatform.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

constexpr uint32_t AttrDirectory = 0x10;

} // namespace

void TUnZip::DeclineEntry(const TZipEntry& Entry)
{
    --FFileCount;
    SkipProgress(Entry.Info);
}

bool TUnZip::ExtractEntry(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out,
                          TZipEntry& Entry, bool Begun)
{
    const TEntryInfo& info = Entry.Info;
    uint32_t attr = Entry.ExternalAttr | (Entry.IsDirectory() ? AttrDirectory : 0);
    const uint32_t mode = UnixModeOf(info.Host, attr);
    if (IsFolderMode(mode)) attr |= AttrDirectory;
    const bool isDirectory = attr & AttrDirectory;
    // A read has no bytes to give for a folder, and no verdict either.
    if (FRunMode == rmRead && isDirectory) return false;
    // A test and a read decode into a sink without a file: a read's sink writes to the
    // caller's stream.
    const bool testing = FRunMode == rmTest || FRunMode == rmRead;
    const bool begun = testing         ? BeginTest(isDirectory)
                       : Begun && !isDirectory ? DecideOverwrite()
                                               : BeginFile(isDirectory);
    if (!begun) {
        SkipProgress(info);
        return false;
    }
    if (FArcType == atJar || FArcType == atJarExe)
        attr = ExtractFileName(FFileName).empty() ? AttrDirectory : 0x20;
    if (attr & AttrDirectory) {
        if (testing || !FCreateStoredDirs) return EndEntry(true);
        // Made like the folders of a file: a link on the way fails it.
        const std::string folder = AppendDirTail(FFileName);
        if (!MakeOutputFolder(folder)) {
            ReportError(FFileName, qvrOS::ErrorText(qvrOS::LastError()), E_OPENERR, "0");
            return EndEntry(false);
        }
        NoteFolder(folder, OutputFacts(Entry, attr));
        NoteChangedName(FFileName);
        return EndEntry(true);
    }

    // Nothing is touched for an entry that cannot be decoded: no password is asked for
    // and no file is created or truncated.
    const TEntryPlan plan = PlanEntry(Entry);
    if (!plan.Method) {
        ReportError(FFileName, plan.Reason, plan.Code, "0");
        DeclineEntry(Entry);
        return false;
    }
    const TMethodRow* method = plan.Method;
    const bool encrypted = Entry.Encrypted();
    TCipherHeader header = {};
    if (encrypted) {
        // Once no password was found, every later encrypted entry of the run is skipped
        // without another search (unless each entry has a search of its own); the
        // search has made its own reports.
        bool opened = false;
        if (!FBadPassword) {
            // An archive that ends inside the header is damaged, whatever the password.
            if (!ReadCipherHeader(*Stream, Entry, header)) {
                ReportError(FFileName, "encryption header cut short", E_BADHEADER, "0");
                DeclineEntry(Entry);
                return false;
            }
            opened = VerifyPassword(Entry, header);
            if (!opened && !FPasswordPerEntry) FBadPassword = true;
        }
        if (!opened) {
            ++FPasswordSkips;
            DeclineEntry(Entry);
            FFileName = Entry.Name;
            return false;
        }
    }
    // A link holds its target as its data; where links can be made, the entry becomes
    // one instead of a file.
    if (!testing && FCreateLinks && IsLinkMode(UnixModeOf(info.Host, attr)) &&
        qvrOS::MakesSymbolicLinks())
        return ExtractLink(*Stream, *method, Entry);
    // A test or a read decodes into a sink without a file.
    std::string reason;
    if (!testing && !OpenOutput(Out, FFileName, reason)) {
        Out.reset();
        ReportError(FFileName, reason, E_OPENERR, "0");
        DeclineEntry(Entry);
        return EndEntry(false);
    }

    const int64_t dataAt = Stream->Position();
    const int64_t bytesLeft = FBytesLeft;
    std::vector<std::string> failed; // passwords of the list this entry failed with
    // Bytes handed to a reader's stream cannot be taken back, and one wrong password in
    // 256 passes the check byte: while the list holds another password to try, the one
    // that passed is proven by a decode that writes nothing before the bytes go out.
    bool proven = !(FRunMode == rmRead && encrypted && FPasswords.size() > 1 &&
                    !FVolumeSet.Reading());
    for (;;) {
        const bool proving = !proven;
        TStream32* target = proving ? nullptr : FRunMode == rmRead ? FReadTarget : Out.get();
        TEntrySink sink(this, target, info.UncompressedSize, FFileName);
        sink.UseBuffers(FEntryBuffers);
        // With threads to spare, a large file on the calling thread is written beside
        // its decoding.
        if (FThreads > 1 && target == Out.get()) sink.WriteBehind();
        try {
            DecompressEntry(*method, *Stream, Entry, sink);
        } catch (...) {
            // Reported where it arose (a handler that threw); the entry ends with what
            // it has.
        }
        bool pass = sink.Passes(Entry.ChecksCrc() ? Entry.Crc : sink.Crc()) && !GetCancel();
        // The password is proven: the entry is decoded again, into the reader's stream.
        if (proving && pass && Stream->Seek(dataAt, 0) == dataAt && TryPassword(Entry, header)) {
            proven = true;
            FBytesLeft = bytesLeft;
            continue;
        }
        // One wrong password in 256 passes the check byte, and then only the data can
        // tell: the list's other passwords get their turn before the entry fails.
        if (!pass && encrypted && !sink.WriteFailed() && !GetCancel() &&
            RetryPassword(Entry, header, failed, *Stream, dataAt) &&
            (proving || RestartOutput(Out))) {
            FBytesLeft = bytesLeft;
            continue;
        }
        return EntryVerdict(Entry, attr, sink, pass, Out, testing);
    }
}

bool TUnZip::EntryVerdict(TZipEntry& Entry, uint32_t Attributes, TEntrySink& Sink, bool Pass,
                          std::unique_ptr<TOutputStream>& Out, bool Testing,
                          const TOutputSeal* Sealed)
{
    // The rest of the entry's progress may be where the host cancels: a cancelled entry
    // fails, and its file replaces nothing.
    Sink.FinishProgress();
    Pass = Pass && !GetCancel();
    if (Sink.FailCode() != 0) ReportError(FFileName, Sink.FailDetail(), Sink.FailCode(), "0");
    bool kept = false, finished = true;
    // A cancel that stopped the entry before its bytes were all there to be checked
    // leaves its file cut short.
    const TFailedOutput failed =
        FDiskFull ? foDrop
        : GetCancel() && !Sink.Passes(Entry.ChecksCrc() ? Entry.Crc : Sink.Crc()) ? foCut
                                                                                 : foKeep;
    if (!Testing)
        finished = CloseOutput(Out, FFileName, OutputFacts(Entry, Attributes), Pass, kept,
                               Sealed, failed) ||
                   !Pass;
    Crc32Acc = Sink.Crc();
    // A file that could not be finished or written has its report already.
    // A failed authentication code has been reported as the entry's CRC error.
    const bool verdict =
        EndEntry(Pass && finished, !finished || !Sink.Authentic() || Sink.WriteFailed());
    Entry.AesKeys.Clear();
    // After a cancel the host has asked for quiet, and a full disk has said it all: no
    // notice.
    if (kept && !GetCancel() && !FDiskFull) ReportError(FFileName, "", E_KEPTEXISTING, "0");
    // A full disk ends the run once its entry's file is gone: every entry after would
    // meet it, and leave a file begun for nothing.
    if (FDiskFull) throw E_RAISE(MessageText(E_WRITEERR), E_WRITEERR);
    return verdict;
}

TOutputFacts TUnZip::OutputFacts(const TZipEntry& Entry, uint32_t Attributes) const
{
    TOutputFacts f;
    f.Attributes = Attributes;
    f.Mode = UnixModeOf(Entry.Info.Host, Attributes);
    f.DosDate = Entry.LocalDosDateTime;
    f.Modified = Entry.Info.Modified;
    return f;
}

bool TUnZip::ReadLinkTarget(TStream32& Stream, const TMethodRow& Method, const TZipEntry& Entry,
                            std::string& Target, bool Owner)
{
    Target.clear();
    // The target is held in memory whole: a claim past the bound is refused unread.
    const int64_t size = Entry.Info.UncompressedSize;
    if (size <= 0 || size > MaxLinkTarget) return false;
    TStringOutput32 bytes;
    TEntrySink sink(Owner ? this : nullptr, &bytes, size, FFileName);
    try {
        DecompressEntry(Method, Stream, Entry, sink);
    } catch (...) {
        return false;
    }
    if (Owner) sink.FinishProgress();
    if (!sink.Passes(Entry.ChecksCrc() ? Entry.Crc : sink.Crc())) return false;
    Target = bytes.Text();
    return true;
}

bool TUnZip::ExtractLink(TStream32& Stream, const TMethodRow& Method, const TZipEntry& Entry)
{
    // A target no link can hold is damage of the entry, and the report says which.
    const auto damaged = [&](const char* Why, bool Unread) {
        ReportError(FFileName, Why, E_BADHEADER, "0");
        if (Unread) DeclineEntry(Entry);
        else --FFileCount;
        return EndEntry(false, true);
    };
    if (Entry.Info.UncompressedSize > MaxLinkTarget)
        return damaged("link target longer than 4096 bytes", true);
    if (Entry.Info.UncompressedSize == 0) return damaged("empty link target", true);
    std::string target;
    if (!ReadLinkTarget(Stream, Method, Entry, target, true)) return EndEntry(false);
    Crc32Acc = Entry.Crc;
    // A zero byte would end the target early: what it names is not what was stored.
    if (target.find('\0') != std::string::npos) return damaged("link target holds a NUL byte", false);
    std::string leaf;
    const bool made = OutputFolder(FFileName, true, leaf) == qvrOS::TFolderState::Ready &&
                      FOutputTree.Link(leaf, target, FReplaceReadOnly,
                                       TimeFor(OutputFacts(Entry, Entry.ExternalAttr)));
    if (!made) {
        if (qvrOS::LastError() == qvrOS::ErrorNameTooLong)
            return damaged("link target longer than the system allows", false);
        ReportError(FFileName, qvrOS::ErrorText(qvrOS::LastError()), E_OPENERR, "0");
        --FFileCount;
        return EndEntry(false, true);
    }
    // A later entry of the same name meets it as it would meet a file.
    FWritten.Add(FFileName, FCurEntry);
    NoteChangedName(FFileName);
    return EndEntry(true);
}

bool TUnZip::RetryPassword(TZipEntry& Entry, const uint8_t* Header,
                           std::vector<std::string>& Failed, TStream32& Stream, int64_t DataAt)
{
    // A split set would have to go back to an earlier part (a disk taken out already).
    if (FVolumeSet.Reading()) return false;
    Failed.push_back(FPassword);
    for (const std::string& p : FPasswords) {
        if (std::find(Failed.begin(), Failed.end(), p) != Failed.end()) continue;
        FPassword = p;
        if (TryPassword(Entry, Header)) return Stream.Seek(DataAt, 0) == DataAt;
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
                                      const TZipEntry& Entry, TEntrySink& Sink)
{
    // The password search has read the encryption header (or salt and verifier) already.
    const int64_t packed = Entry.PackedBytes();
    // A spanned set's next disk must show a record where this entry's data ends.
    if (FVolumeSet.Reading())
        FVolumeSet.RecordAt(Stream.Position() + packed + Entry.CipherTrailerBytes());
    // A large entry's authentication code is worth a thread of its own. Bytes read ahead
    // of the output are fine where one part holds them all and no cipher streams them.
    constexpr int64_t MacBesideFrom = int64_t{1} << 20;
    return DecodeEntryLayers(Method, Stream, Entry, Sink,
                             FThreads > 1 && packed >= MacBesideFrom,
                             !FVolumeSet.Reading() && !Entry.Encrypted());
}

// ---------------------------------------------------------------------------------
// Passwords

bool TUnZip::CheckPassword(uint8_t* Header)
{
    // The host's check takes a traditional encryption header only.
    return FEntry && !FEntry->IsAes() && PassesCheckByte(*FEntry, FPassword, Header);
}

bool TUnZip::TryPassword(TZipEntry& Entry, const uint8_t* Header)
{
    return KeyEntry(Entry, FPassword, Header);
}

bool TUnZip::VerifyPassword(TZipEntry& Entry, const uint8_t* Header)
{
    TTimerPause pause(FTimer);
    bool ok = TryPassword(Entry, Header);
    for (size_t i = 0; !ok && i < FPasswords.size(); ++i) {
        FPassword = FPasswords[i];
        ok = TryPassword(Entry, Header);
    }
    if (ok) return true;
    if (!OnGetPassword) {
        ReportError(FFileName, "OnGetPassword", E_REQUIREDEVENT, "0");
        return false;
    }
    // No attempt allowed: the entry is skipped, and said to be, without asking.
    if (FPasswordAttempts <= 0) {
        ReportError(FFileName, "PasswordAttempts is " + std::to_string(FPasswordAttempts),
                    E_INVALIDPASSWORD, "0");
        return false;
    }
    bool tryAgain = true;
    for (int32_t attempt = 0; attempt < FPasswordAttempts; ++attempt) {
        if (GetCancel()) break;
        CallHost("OnGetPassword", OnGetPassword, *this, qvrOS::HostPath(FFileName), FPassword,
                 tryAgain);
        if (!tryAgain) {
            ReportError(FFileName, "", E_INVALIDPASSWORD, "0");
            break;
        }
        if (TryPassword(Entry, Header)) {
            FPasswords.insert(FPasswords.begin(), FPassword);
            return true;
        }
        FPassword.clear();
        ReportError(FFileName, "", E_INVALIDPASSWORD, "0");
    }
    return false;
}
