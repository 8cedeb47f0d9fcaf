// The middle of the component chain.
//
// TZipCommon holds what every archive operation shares: settings, events, the run's
// state, the cancel flag, the elapsed-time clock, progress, error reporting, CRC
// accumulators and output writing. TUnBase adds extraction: output files, the
// overwrite protocol and the run itself (ExtractFiles, the exception boundary).
//
// Everything a run touches lives in the component, so two components on two threads
// extract independently.
#pragma once

#include "qvrAheadFolders.h"
#include "qvrEntryTable.h"
#include "qvrGbls.h"
#include "qvrMessages.h"
#include "qvrPlatform.h"
#include "qvrSinkHost.h"
#include "qvrStreams.h"
#include "qvrWrittenFiles.h"
#include "qvrZipRecords.h"
#include "qvrregister.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

class TZipCommon;

// What a report is about: one entry (the others go on), the archive as a whole, which
// could not be read at all, or the run (a cancel, a damaged directory, a full disk),
// whose other entries may still have been extracted.
enum TReportSubject : uint8_t { rsEntry, rsArchive, rsRun };

using TNotifyEvent = std::function<void(TZipCommon& Sender)>;
using TOnBegin = std::function<void(TZipCommon& Sender, const std::string& FileName,
                                    int32_t Count, bool& Extract)>;
using TOnRenameFile = std::function<void(TZipCommon& Sender, const std::string& FileName,
                                         std::string& NewFileName)>;
using TUnBase_OnFileExists =
    std::function<void(TZipCommon& Sender, const std::string& FileName, std::string& NewFileName,
                       TOverwriteMode& OverwriteMode)>;
using TOnProgress =
    std::function<void(TZipCommon& Sender, uint8_t ProgressByFile, uint8_t ProgressByArchive)>;
using TOnEnd =
    std::function<void(TZipCommon& Sender, const std::string& FileName, bool CRC_PASS)>;
using TOnError = std::function<void(TZipCommon& Sender, const std::string& FileName,
                                    const std::string& ExtendedMsg, const std::string& VolumeID,
                                    int32_t ECode)>;
using TOnElapsedTime = std::function<void(TZipCommon& Sender, float ElapsedTime)>;
using TOnGetPassword = std::function<void(TZipCommon& Sender, const std::string& FileName,
                                          std::string& Password, bool& TryAgain)>;
using TOnNextVolume = std::function<void(TZipCommon& Sender, std::string& VolumeName,
                                         const std::string& VolumeID, bool fExists,
                                         bool& Cancel)>;
using TOnGetZipFirstDisk = std::function<void(TZipCommon& Sender, bool& Cancel)>;
using TOnGetZipNextDisk =
    std::function<void(TZipCommon& Sender, const std::string& VolumeName, bool& Cancel)>;
using TOnGetZipLastDisk = std::function<void(TZipCommon& Sender, bool& Cancel)>;
// What an output file or folder takes from its entry besides its bytes.
struct TOutputFacts {
    uint32_t Attributes = 0; // the external attributes: DOS byte, a Unix writer's mode above
    uint32_t Mode = 0;       // the POSIX mode with its type when the host keeps one, else 0
    uint32_t DosDate = 0;
    TUtcTime Modified;
};
// What an output file gets besides its bytes, settled by the run's properties: its
// time, and its permission bits or its DOS attributes (none when both are unset).
// Applied to the open file on whichever thread finishes it.
struct TOutputStamp {
    qvrOS::TFileTime Time;
    bool SetMode = false;
    uint32_t Mode = 0;
    bool SetAttributes = false;
    uint32_t Attributes = 0;
    void Apply(qvrOS::TOutputFile& File) const;
};
// How the stamp and the close of an output file went on the thread that did them.
// The settings a stamp is made by: a stamp made under the same ones is the same (the
// system's date aside, which moves anyway).
struct TStampSettings {
    TDateAttribute Date = daFileDate;
    bool ExtendedTimes = true, Attributes = true, UnixModes = true, SpecialModes = false;
    bool operator==(const TStampSettings&) const = default;
};
struct TOutputSeal {
    bool Closed = true;
    uint32_t Error = 0; // the system's, when the close failed
};
// One entry as a listing shows it.
struct TEntryListing {
    std::string Name; // as stored, "\" separated
    int64_t Size = 0;
    int64_t Packed = 0; // compressed bytes, encryption header included
    uint16_t Method = 0;
    uint32_t DosDateTime = 0;
    // The UTC modification time of an extended-time field, which a file gets in place of
    // DosDateTime (with DateAttribute daFileDate and UseExtendedTimes); Set false: none.
    TUtcTime Modified;
    uint32_t Crc = 0;
    bool Encrypted = false;
    // A WinZip AES entry (Method 99): its strength (1, 2, 3: AES-128, -192, -256) and
    // the method beneath the cipher; 0 for any other entry.
    uint8_t AesStrength = 0;
    uint16_t AesMethod = 0;
    bool IsDirectory = false;
    uint32_t Attributes = 0; // external attributes: DOS bits low, a Unix mode high
    // The Unix mode (type and permission bits) of an entry from a Unix or OS X writer, the
    // one extraction gives the file; 0 when the writer stored none.
    uint32_t Mode = 0;
    // A symbolic link's target (read for link entries only); empty for anything else.
    std::string LinkTarget;
};
using TOnListEntry = std::function<void(TZipCommon& Sender, const TEntryListing& Entry)>;
// Consulted for each entry the walk reads, with its name ("\" separated): Take arrives
// with the verdict of FileSpec and ExcludeSpec, and what the handler leaves in it
// decides whether the entry is selected. A host with its own idea of masks sets FileSpec
// to "*.*" and decides here.
using TOnSelectEntry =
    std::function<void(TZipCommon& Sender, const std::string& Name, bool& Take)>;
using TOnCorruptZipHeader =
    std::function<void(TZipCommon& Sender, THeaderTypeState HeadFlag, bool& Cancel)>;

// Elapsed time of a run, with the time spent in the host's handlers taken out.
class TqvrTimer {
public:
    // Tick source in milliseconds; the platform's tick count unless a test injects one.
    explicit TqvrTimer(std::function<uint32_t()> Ticks = {});
    void Start();
    void Stop();
    void Pause();
    void Resume();
    float Elapsed() const { return FElapsed; }
    bool Running() const { return FRunning; }

private:
    uint32_t Now() const;

    std::function<uint32_t()> FTicks;
    // The tick counter can be anywhere in its range, so "running" and "paused once"
    // are explicit flags instead of a start value above zero.
    bool FRunning = false;
    bool FPaused = false;
    // Ticks are kept as the counter gives them and only their differences, taken modulo
    // 2^32, are used: the counter wraps to 0 after about 49.7 days, and a run that
    // spans the wrap must still see the time that passed. The time taken out for pauses
    // is summed apart from the start tick, in milliseconds.
    uint32_t FStartTick = 0;
    uint32_t FPauseTick = 0;
    int64_t FPausedMs = 0;
    float FElapsed = 0;
};

// Pauses a component's clock for the life of the object.
class TTimerPause {
public:
    explicit TTimerPause(TqvrTimer& T) : FTimer(T) { FTimer.Pause(); }
    ~TTimerPause() { FTimer.Resume(); }
    TTimerPause(const TTimerPause&) = delete;
    TTimerPause& operator=(const TTimerPause&) = delete;

private:
    TqvrTimer& FTimer;
};

class TZipCommon : public TRegisterQuiver, public TSinkHost {
public:
    TZipCommon();
    ~TZipCommon() override;

    // Published properties.
    bool ConfirmOverwrites() const { return FConfirmOverwrites; }
    void ConfirmOverwrites(bool V) { FConfirmOverwrites = V; }
    TDateAttribute DateAttribute() const { return FDateAttribute; }
    void DateAttribute(TDateAttribute V) { FDateAttribute = V; }
    // As the system writes paths ("/" between folders on POSIX), like every file name
    // the events hand a host.
    std::string ExtractDir() const { return qvrOS::HostPath(FExtractDir); }
    void ExtractDir(const std::string& V) { SetExtractDir(V); }
    TStringList& FileSpec() { return FFileSpec; }
    void FileSpec(const TStringList& V) { FFileSpec = V; }
    // Masks that deselect entries FileSpec selects; kept from run to run, and given to
    // every run as its exclusion list.
    TStringList& ExcludeSpec() { return FExcludeSpec; }
    void ExcludeSpec(const TStringList& V) { FExcludeSpec = V; }
    TStringList& Passwords() { return FPasswords; }
    void Passwords(const TStringList& V) { FPasswords = V; }
    int32_t PasswordAttempts() const { return FPasswordAttempts; }
    void PasswordAttempts(int32_t V) { FPasswordAttempts = V; }
    // Clear (the default): the run's first encrypted entry that no password opens ends
    // the search, and its later encrypted entries are skipped without another report
    // (nobody is there to ask). Set: each such entry is skipped alone, and the next
    // one gets a search of its own, OnGetPassword included (a user who declined one
    // entry may know the next one's password).
    bool PasswordPerEntry() const { return FPasswordPerEntry; }
    void PasswordPerEntry(bool V) { FPasswordPerEntry = V; }
    bool RecurseDirs() const { return FRecurseDirs; }
    void RecurseDirs(bool V) { FRecurseDirs = V; }
    bool UseStoredDirs() const { return FUseStoredDirs; }
    void UseStoredDirs(bool V) { FUseStoredDirs = V; }
    TOverwriteMode OverwriteMode() const { return FOverwriteMode; }
    void OverwriteMode(TOverwriteMode V) { FOverwriteMode = V; }
    bool TranslateOemChar() const { return FTranslateOemChar; }
    void TranslateOemChar(bool V) { FTranslateOemChar = V; }
    // The code page of names stored without the UTF-8 flag, when TranslateOemChar is
    // set ("936", "GBK", "SJIS", ...); empty: the system's OEM code page (437 on POSIX).
    // A code page in which names could gain folders (NameCodePageSafe: UTF-7 reads
    // "+AC8-" as "/"; UTF-16 and EBCDIC do not read "/" as "/") is refused: the property
    // keeps the value it had, which a host can read back to see the setting was not taken;
    // so is a code page the system does not know.
    const std::string& NameCodePage() const { return FNameCodePage; }
    void NameCodePage(const std::string& V);

    // Run state a host may read.
    std::string FileName() const { return qvrOS::HostPath(FFileName); }
    int32_t FileCount() const { return FFileCount; }
    const std::string& Password() const { return FPassword; }
    // Uncompressed bytes of the entries the run selected, and of those not done yet.
    int64_t TotalUnpacked() const { return FTotalUnpacked; }
    int64_t BytesLeft() const { return FBytesLeft; }
    // Encrypted entries the last run skipped for want of a password.
    int32_t PasswordSkips() const { return FPasswordSkips; }
    // The archive's comment from its end record, as UTF-8: taken as it is when it is
    // UTF-8, otherwise read like names without the UTF-8 flag (NameCodePage when
    // TranslateOemChar is set, bytes that do not convert as "%XX"). Empty when the
    // archive has none or no end record was found.
    std::string ArchiveComment() const;

    // Events (all optional).
    TNotifyEvent OnActivate, OnDeactivate;
    TOnBegin OnBegin;
    TOnRenameFile OnRenameFile;
    TOnProgress OnProgress;
    TOnEnd OnEnd;
    TOnError OnError;
    TOnElapsedTime OnElapsedTime;
    TOnGetPassword OnGetPassword;
    TOnNextVolume OnNextVolume;
    TOnGetZipFirstDisk OnGetZipFirstDisk;
    TOnGetZipNextDisk OnGetZipNextDisk;
    TOnGetZipLastDisk OnGetZipLastDisk;
    TOnCorruptZipHeader OnCorruptZipHeader;
    TOnSelectEntry OnSelectEntry;
    // Dispatches the host's pending window messages before every progress report and
    // between copy chunks; a windowed host installs it, a console leaves it empty.
    std::function<void()> ProcessMessages;

    // The cancel flag: the component's own, or one the host shares through
    // SetCancelPtr (null gives the component's own back). SetCancel may be called from
    // any thread at any time: from another thread than the run's it only raises the
    // flag, and the run reports the cancel once, on its own thread, when it next looks
    // (every event is raised on the thread that called the run). A run that ends by an
    // exception of the host's reads as cancelled too.
    bool GetCancel() const override;
    virtual void SetCancel(bool Value);
    void SetCancelPtr(bool* P) { FCancelPtr = P ? P : &FCancel; }
    // Whether a run of this object is under way, on any thread.
    bool Running() const { return FRunning.load(std::memory_order_acquire); }

    // Error reporting: ReportError notifies through OnError; RaiseError notifies and
    // then throws E_RAISE with the code's text, unless the run is cancelled. Both take
    // the same arguments; Subject says what the report is about, and a host reads it
    // with ReportSubject() inside its OnError handler.
    virtual void ReportError(const std::string& FileName, const std::string& ExtendedMsg,
                             int32_t ECode, const std::string& VolumeID,
                             TReportSubject Subject = rsEntry);
    virtual void RaiseError(const std::string& FileName, const std::string& ExtendedMsg,
                            int32_t ECode, const std::string& VolumeID,
                            TReportSubject Subject = rsEntry);
    // The subject of the report being delivered to OnError.
    TReportSubject ReportSubject() const { return FReportSubject; }

    TqvrTimer& Timer() { return FTimer; }

    // The folder for temporary files; when it is empty or missing it becomes the
    // system's folder for temporary files.
    const std::string& TempFolder();
    void TempFolder(const std::string& V) { FTempFolder = V; }
    // Puts a finished temporary file under its final name: moved when SameDrive (the
    // stream is closed then), otherwise, or when the move fails, Stream's Size bytes
    // copied into a new file.
    virtual void SaveStreamToFile(TStream32& Stream, const std::string& FinalName, int64_t Size,
                                  bool SameDrive, const std::string& TempName);

    virtual TDateTime DosDateToDateTime(uint32_t D);
    virtual void SetFileName(const std::string& EntryName);
    virtual std::string GetComment() { return ArchiveComment(); }
    // The file of part Index + 1 of a multi-volume set whose last part is Last + 1: the
    // current volume's name with the extension .z01, .z02, ... (.z100 after .z99), and
    // the archive's own name for the last part.
    std::string GetVolumeName(uint32_t Index, uint32_t Last) const;

    void UpdateProgress(int64_t ArchiveTotal, int64_t FileTotal, int64_t FileDone);
    // Produced more bytes of the current entry are done (written, or given up on):
    // they come off the run's remaining total and progress is reported.
    void EntryProgress(int64_t Produced, int64_t FileTotal, int64_t FileDone) final;
    void DoProgress(uint8_t ByFile, uint8_t ByArchive);
    void SkipProgress(const TEntryInfo& Entry);
    // Writes Count decoded bytes of the entry whose output name is FileName to Out: a
    // short write is reported (ReportWriteFailure). Returns the bytes written. Every
    // entry's sink writes through here: the component is the sinks' host.
    int32_t WriteEntryBytes(TStream32* Out, const uint8_t* Buf, int32_t Count,
                            std::string_view FileName) final;
    // Reports a write to FileName that failed with the system's Error, with the
    // system's text for it. A full disk concerns the run: DiskFull is set, and the run
    // ends once the entry's file is gone.
    void ReportWriteFailure(uint32_t Error, std::string_view FileName) final;
    bool DiskFull() const { return FDiskFull; }

    // The block interface, for decoders that read and write through the component
    // instead of an entry's layers and sink: those of other archive types, and hosts
    // that drive the cipher themselves. Reads and writes fold their bytes into the
    // running CRC of the kind asked for (16 or 32; 0 none), and decipher when asked.
    void UpdateCrc(uint8_t CrcKind, const void* Buffer, int32_t Count);
    uint32_t Crc32Acc = 0;
    uint32_t Crc16Acc = 0;
    // Reads up to Count archive bytes (a failed read counts as none), deciphers them
    // when asked and folds them into the CRC of kind CrcKind.
    virtual int32_t ReadBlock(TStream32& Stream, uint8_t* Buf, int32_t Count, uint8_t CrcKind,
                              bool Decrypt);
    // Writes decoded bytes through WriteOutput; Decrypt deciphers ZIP-family data first
    // (byte by byte in WriteBlock2, the whole buffer at once in WriteBlock).
    virtual int32_t WriteBlock(TStream32* Out, uint8_t* Buf, int Mode, int32_t Count,
                               uint8_t CrcKind, bool Decrypt);
    virtual int32_t WriteBlock2(TStream32* Out, uint8_t* Buf, int Mode, int32_t Count,
                                uint8_t CrcKind, bool Decrypt);
    virtual void DecryptBuffer(bool Decrypt, uint8_t* Buf, int32_t Count);
    // WriteEntryBytes under the current FileName; Mode 1 folds the bytes written into
    // the CRC of kind CrcKind, Mode 0 leaves the CRC to the caller.
    int32_t WriteOutput(TStream32* Out, const uint8_t* Buf, int Mode, int32_t Count,
                        uint8_t CrcKind);

protected:
    // Calls Handler, the host's handler Name (or the archive source). An exception it
    // throws ends the run: the first is kept, the run winds down as after a cancel with
    // no other report, and ReportHandlerFailure reports it once the files begun are
    // withdrawn. Outside a run the exception goes straight to the caller.
    template <class F, class... A>
    decltype(auto) CallHost(const char* Name, const F& Handler, A&&... Args)
    {
        try {
            return Handler(std::forward<A>(Args)...);
        } catch (...) {
            HostThrew(Name, std::current_exception());
        }
    }
    [[noreturn]] void HostThrew(const char* Name, std::exception_ptr E);
    // Keeps an exception of the host's (Name threw it) for the end of the run, which
    // then reads as cancelled.
    void KeepHostException(const char* Name, std::exception_ptr E);
    // Reports what a handler threw during the run, once: E_HANDLERFAILED naming the
    // handler and the exception's text. An exception OnError threw, which no report
    // can carry, goes to the caller of the run instead.
    void ReportHandlerFailure();
    // Name as the host's system writes paths, made in Buffer (memory kept from entry
    // to entry): OnBegin and OnEnd have one each, as neither can come inside itself.
    static const std::string& HostName(std::string& Buffer, const std::string& Name)
    {
        Buffer.assign(Name);
        qvrOS::MakeHostPath(Buffer);
        return Buffer;
    }
    std::string FBeginName, FEndName;
    // The cancel that another thread set, reported on the run's thread once.
    void NoticeCancel();
    // Refuses a call that would start a run, or pull the archive from under one, while
    // a run of this object is under way: true, with a report, when it is.
    bool RefusedInRun(const char* What);

    // The run's own: set by Run for its length; the thread of the last run (at first the
    // maker's), which alone raises events.
    std::atomic<bool> FRunning{false};
    std::atomic<std::thread::id> FRunThread;
    std::atomic<bool> FCancelFromAfar{false};
    std::exception_ptr FHostException;
    std::string FHostThrower; // the handler that threw it
    bool FHostFaulted = false;

    // What the walk reads, taken when a run starts (TakeWalkSettings): a handler that
    // changes FileSpec, ExcludeSpec, RecurseDirs, ExtractDir, UseStoredDirs,
    // TranslateOemChar or NameCodePage changes the next run, whatever the thread count,
    // since the walk may have read entries ahead of the handler's own.
    struct TWalkSettings {
        TStringList FileSpec; // every entry when FileSpec is empty
        TStringList ExcludeSpec;
        bool RecurseDirs = true;
        std::string ExtractDir;
        bool UseStoredDirs = true;
        bool TranslateOem = true;
        std::string CodePage;
    } FWalk;
    void TakeWalkSettings();

    void SetExtractDir(const std::string& V);
    // The destination folder with its trailing "\", as the output names begin with it.
    const std::string& DestinationRoot();

    bool FConfirmOverwrites = false;
    TDateAttribute FDateAttribute = daFileDate;
    std::string FExtractDir;
    TStringList FFileSpec;
    TStringList FPasswords;
    TStringList FExcludeSpec;
    int32_t FPasswordAttempts = 3;
    bool FPasswordPerEntry = false;
    int32_t FPasswordSkips = 0;
    bool FRecurseDirs = true;
    bool FUseStoredDirs = true;
    TOverwriteMode FOverwriteMode = omOverwrite;
    bool FTranslateOemChar = true;
    std::string FNameCodePage;

    std::string FFileName;
    // SetFileName makes the next FFileName here, then swaps the two: the memory of both
    // is kept from entry to entry.
    std::string FNextFileName;
    // DestinationRoot, the ExtractDir it was made from, and whether that was relative.
    std::string FDestinationRoot;
    std::string FDestinationRootOf;
    bool FDestinationRelative = true;
    // The output name SetFileName changed to avoid a device name, and the stored name it
    // was made from; empty when unchanged.
    std::string FChangedName;
    std::string FChangedFrom;
    std::string FPassword;
    int32_t FFileCount = 0;
    // A write of this run met a full disk: every entry after would meet it too.
    bool FDiskFull = false;
    bool FCancel = false;
    bool* FCancelPtr = &FCancel;
    std::string FVolumeName;
    std::string FTempFolder;
    int64_t FTotalPacked = 0;
    int64_t FTotalUnpacked = 0;
    int64_t FBytesLeft = 0;
    uint32_t FMaxFileDate = 0;
    uint8_t FProgressByFile = 0;
    uint8_t FProgressByArchive = 0;
    TqvrTimer FTimer;
    std::function<void(uint8_t, uint8_t)> FProgressProc;
    TReportSubject FReportSubject = rsEntry;
};

class TUnBase : public TZipCommon {
public:
    TUnBase();

    TCpuType CpuType() const { return FCpuType; }
    void CpuType(TCpuType V) { FCpuType = V; }
    bool CreateStoredDirs() const { return FCreateStoredDirs; }
    void CreateStoredDirs(bool V) { FCreateStoredDirs = V; }
    bool RestoreFileAttr() const { return FRestoreFileAttr; }
    void RestoreFileAttr(bool V) { FRestoreFileAttr = V; }
    // The POSIX modes Unix and OS X writers store are restored on files and folders
    // (with RestoreFileAttr): the rwx bits exactly as stored, the umask aside. Entries
    // from other hosts keep the read-only rule. Windows has no mode bits and maps a mode
    // without write bits onto read-only; the DLL switches this off so that it goes on
    // reading the DOS attribute byte alone.
    bool RestoreUnixModes() const { return FRestoreUnixModes; }
    void RestoreUnixModes(bool V) { FRestoreUnixModes = V; }
    // Also restores the setuid, setgid and sticky bits of a stored mode; off, since an
    // archive should not make programs that run with its author's choice of rights.
    bool RestoreSpecialModes() const { return FRestoreSpecialModes; }
    void RestoreSpecialModes(bool V) { FRestoreSpecialModes = V; }
    // Files and folders take the modification time in UTC that the extended timestamp,
    // NTFS or old Unix extra field carries, to the nanosecond the field has, whatever
    // the reader's time zone; the DOS date (local, 2-second steps) only when no field
    // gives one. DateAttribute other than daFileDate still decides. The DLL switches
    // this off to keep writing the DOS date it always wrote.
    bool UseExtendedTimes() const { return FUseExtendedTimes; }
    void UseExtendedTimes(bool V) { FUseExtendedTimes = V; }
    // Entries a Unix writer marks as symbolic links are made as links (POSIX only:
    // Windows writes them as files that hold their targets, whatever this says, so the
    // DLL needs no setting). Off: every link entry is a file holding its target.
    bool CreateLinks() const { return FCreateLinks; }
    void CreateLinks(bool V) { FCreateLinks = V; }
    TUnBase_OnFileExists OnFileExists;
    // Receives each selected entry during ListFiles.
    TOnListEntry OnListEntry;

    // Extracts the entries of ArchiveFile that match FileSpec (every entry when it is
    // empty) into ExtractDir and returns the number of files accepted.
    //
    // For every run (ExtractFiles, TestFiles, ListFiles, Entries, ReadFiles, ReadEntry):
    // events come on the thread that called it, in entry order. Nothing the component
    // raises leaves the run. An exception a handler (or the archive source) throws ends
    // the run: the files begun are withdrawn and it is reported once, E_HANDLERFAILED
    // with the handler's name and the exception's text; one that OnError throws, which
    // no report can carry, reaches the caller. A run, or a change of ArchiveFile or
    // ArchiveSource, asked for while a run of this object is under way has no effect:
    // from inside an event it is refused with E_BUSY, from another thread silently.
    int32_t ExtractFiles();
    // Decodes and checks every selected entry as extraction would (passwords, CRC,
    // sizes, the same events) without writing or creating anything; returns the number
    // of files checked.
    int32_t TestFiles();
    // Walks the archive and hands each selected entry to OnListEntry without decoding
    // it; returns the number of entries listed.
    int32_t ListFiles();

    // Reading without extracting, for programs that want an archive's contents as
    // values and bytes rather than files. Entries lists the entries FileSpec selects;
    // the Read calls decode into the caller's stream through the same layers, checks,
    // password search and reports as extraction, and create no file. Events set on the
    // component are raised as in any run; none is needed.
    std::vector<TEntryListing> Entries();
    // The bytes of every selected file entry, one entry after the other, into Out;
    // returns the number of entries whose bytes passed their checks. A short write to
    // Out is reported (E_WRITEERR with the counts) and fails the entry.
    int32_t ReadFiles(TStream32& Out);
    // The bytes of the entry stored under Name ("/" or "\" between folders, compared
    // exactly; FileSpec plays no part) into Out; false when the archive holds no such
    // file entry or its bytes fail their checks. Of two entries of that name, the first.
    bool ReadEntry(const std::string& Name, TStream32& Out);
    bool ReadEntry(const std::string& Name, const TBlockStream::TBlock& Block);

    void SetArchiveFile(const std::string& V) override;
    // Reads the archive from the streams Source opens (once for identification, now,
    // and once per run) instead of from a file: an archive held in memory, or one a
    // host reads its own way. Name stands for it in reports and events.
    void ArchiveSource(const std::string& Name, std::function<std::unique_ptr<TStream32>()> Source);

    // The output-file protocol of one entry: its begin step, then the overwrite decision.
    bool BeginFile(bool IsDirectory);
    // The begin step alone: OnRenameFile (not for a file Begun ahead of its turn, whose
    // name is fixed) and OnBegin. False when the host declines the entry or cancels.
    bool AskBegin(bool Begun);
    // What follows the begin step for a file: what becomes of one already under its
    // name, by ConfirmOverwrites and OverwriteMode as the begin step left them (and
    // OnFileExists). False when the entry is not to be written.
    bool DecideOverwrite();
    // The begin step of a test: OnBegin only, since no file is written.
    bool BeginTest(bool IsDirectory);
    // Begins the output file FileName, its folders made first once every step of its
    // name passed the file system's rules. False when it cannot be had, with Reason the
    // system's text for why (empty when no system call refused it). Ahead: the entry's
    // turn has not come (OpenOutputAhead).
    bool OpenOutput(std::unique_ptr<TOutputStream>& Stream, const std::string& FileName,
                    std::string& Reason, bool Ahead = false);
    // OpenOutput for an entry ahead of its turn (given to a worker). The folders the
    // opening made are counted until the entry's turn settles them; Folder gets what
    // SettleAhead takes then (empty: nothing to settle).
    bool OpenOutputAhead(std::unique_ptr<TOutputStream>& Stream, const std::string& FileName,
                         std::string& Reason, std::string& Folder);
    // In the turn of an entry OpenOutputAhead opened: Kept tells whether its file was
    // begun. Folders made for it alone go again if they are empty.
    void SettleAhead(const std::string& Folder, bool Kept);
    // Makes the folder of an output name (all levels; "a\b\" names a folder) as
    // OpenOutput does, never through a link; false when it cannot be.
    bool MakeOutputFolder(const std::string& Name);
    // What becomes of the file of a failing entry that replaces nothing: it keeps what
    // was written of it with the entry's date and attributes (foKeep: all its bytes
    // were there to be checked); it keeps what was written without them, since it must
    // not look complete, and is reported as cut short (foCut: a cancel stopped it); or
    // it goes (foDrop: a full disk, where its part is worth nothing but the room).
    enum TFailedOutput { foKeep, foCut, foDrop };
    // Finishes the file of an entry whose verdict is Pass. A passing entry, or one that
    // replaces nothing and is kept (Failed), gets its date and attributes on the open
    // file and then its final name; a failing entry that would replace a file is
    // removed, and that file stays as it was. Returns Pass, and false too when the file
    // could not be finished (reported). Kept tells whether an existing file was left in
    // place of a failed entry.
    // Sealed, when given: a worker gave the file its stamp and closed it already.
    bool CloseOutput(std::unique_ptr<TOutputStream>& Stream, const std::string& FileName,
                     const TOutputFacts& Facts, bool Pass, bool& Kept,
                     const TOutputSeal* Sealed = nullptr, TFailedOutput Failed = foKeep);
    virtual bool EndFile(uint8_t CrcKind, uint32_t StoredCrc);
    // Delivers an entry's verdict: OnEnd, or without one the CRC failure report, unless
    // the failure was Reported already.
    bool EndEntry(bool Pass, bool Reported = false);
    uint32_t DateFor(uint32_t FileDate) const;
    // The time an output file or folder takes: the DOS date DateAttribute chooses, or
    // (daFileDate) the UTC time of Facts when there is one and UseExtendedTimes is on.
    qvrOS::TFileTime TimeFor(const TOutputFacts& Facts) const;
    // The time and the mode or attributes an output file of Facts gets.
    TStampSettings StampSettings() const
    {
        return {FDateAttribute, FUseExtendedTimes, FRestoreFileAttr, FRestoreUnixModes,
                FRestoreSpecialModes};
    }
    TOutputStamp StampFor(const TOutputFacts& Facts) const;
    // Notes the folder FolderName (made for a folder entry) to be given its mode and
    // time once the run has written what goes inside it.
    void NoteFolder(const std::string& FolderName, const TOutputFacts& Facts);
    // Notes the folders the output tree made below Root for Folder ("a\b\"), from the
    // step at From on, for their final mode at the end of the run.
    void NoteMadeFolders(const std::string& Root, std::string_view Folder, size_t From);
    // Gives the noted folders their modes and times, deepest first, so that a folder
    // without write or search permission is closed only after everything below it.
    void ApplyFolderFacts();
    virtual bool CheckPassword(uint8_t* /*Header*/) { return false; }

protected:
    // Opens the folder of the output name Name in FOutputTree (making it when Make is
    // set) and gives the name's last step in Leaf.
    qvrOS::TFolderState OutputFolder(const std::string& Name, bool Make, std::string& Leaf,
                                     bool Ahead = false);
    // Removes the folders made for files that never had their turn (a run cut short)
    // where they are empty.
    void SweepAhead();
    bool RemoveAheadLevel(std::string_view Level);
    // Attributes of an output file, not through a link; -1 when there is none.
    int64_t OutputAttributes(const std::string& Name);
    // Reports, once the entry is written, that its name was changed.
    void NoteChangedName(const std::string& Written);
    // Reports an entry whose output file an earlier entry of the run has written.
    void NoteSameFile();
    bool OpenArchive(std::unique_ptr<TStream32>& Stream);
    // Gets a spanned or multi-volume set ready before its run; false when it cannot be.
    virtual bool PrepareVolumeSet();
    void CloseArchive(std::unique_ptr<TStream32>& Stream);
    void ResetRunState();
    int32_t ProcessArchive(std::unique_ptr<TStream32>& Stream);
    // The type-specific walk; the base extracts nothing.
    virtual void ExtractArchive(std::unique_ptr<TStream32>& /*Stream*/) {}

    // What a run does with the entries it selects: write files, check them, list them,
    // or decode them into FReadTarget.
    enum TRunMode : uint8_t { rmExtract, rmTest, rmList, rmRead };
    int32_t Run(TRunMode Mode);
    TRunMode FRunMode = rmExtract;
    // During a read: the caller's stream, and the one name it asked for (empty: the
    // entries FileSpec selects).
    TStream32* FReadTarget = nullptr;
    std::string FReadName;
    bool FReadTaken = false; // the entry of that name has been selected
    // Entries of the run whose verdict passed.
    int32_t FPassedCount = 0;
    // The archive source's stream, guarded (TGuardedStream); null when there is none.
    std::unique_ptr<TStream32> OpenSource();
    // An exception the source's stream threw while ArchiveSource identified it.
    std::exception_ptr FSetupException;

    TCpuType FCpuType = cptAuto;
    bool FCreateStoredDirs = false;
    bool FRestoreFileAttr = true;
    bool FRestoreUnixModes = true;
    bool FRestoreSpecialModes = false;
    bool FUseExtendedTimes = true;
    bool FCreateLinks = true;
    // The folders of the run waiting for their modes and times.
    // A folder's facts, given at the end of the run: a stored folder's mode and time, or
    // for a folder the run made on the way (Made), the mode a new folder gets from the
    // system, since it was made private.
    struct TFolderFacts {
        std::string Name;
        uint32_t Mode = 0;
        qvrOS::TFileTime Time;
        bool Made = false;
    };
    std::vector<TFolderFacts> FFolderFacts;
    bool FBadPassword = false;
    // The overwrite protocol allowed the current entry to replace a read-only file.
    bool FReplaceReadOnly = false;
    std::unique_ptr<TUnBaseHeaderObj> FHeader;
    // The entry of FHeader being extracted; -1 before the first.
    int32_t FCurEntry = -1;
    // The destination's folders, walked without following links; open during a run.
    qvrOS::TOutputTree FOutputTree;
    // The files the run over the current archive has written.
    TWrittenFiles FWritten;
    // Folders made for files begun ahead of their turn, until those files are settled.
    TAheadFolders FAheadFolders;
    // Opens the archive's bytes for a run; empty: the file ArchiveFile names.
    std::function<std::unique_ptr<TStream32>()> FSource;
};
