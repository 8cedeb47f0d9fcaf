// TUnZip: the ZIP extraction component. It walks the archive (central directory, or
// local headers when no directory can be found), selects entries by FileSpec, checks
// passwords, and hands each entry to the decoder of its compression method.
#pragma once

#include "qvrBase.h"
#include "qvrEntryChecks.h"
#include "qvrEntryFacts.h"
#include "qvrEntryWorkers.h"
#include "qvrMethods.h"
#include "qvrVolumeSet.h"
#include "qvrZipEntry.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class THeaderBlock;

class TUnZip : public TUnBase {
public:
    TUnZip();
    ~TUnZip() override;

    // Reports go out in the order of a run on one thread: entries given to the workers
    // are taken back before any other report is made.
    void ReportError(const std::string& FileName, const std::string& ExtendedMsg, int32_t ECode,
                     const std::string& VolumeID, TReportSubject Subject = rsEntry) override;

    // Checks FPassword against the entry being taken (false between entries).
    bool CheckPassword(uint8_t* Header) override;
    // The compression method of the entry being taken (its events may read it); 0
    // between entries.
    uint16_t EntryMethod() const
    {
        return FEntry ? static_cast<uint16_t>(FEntry->Info.Method) : 0;
    }
    // The uncompressed size the entry being taken declares; 0 between entries.
    int64_t EntrySize() const { return FEntry ? FEntry->Info.UncompressedSize : 0; }

    // The bytes of entry names one walk keeps at most (1 GiB): names are kept whole, up
    // to the 65,535 bytes a record holds, and a walk that would pass this stops there
    // with a report; the entries before it are still extracted.
    uint64_t NameBytesLimit() const { return FNameBytesLimit; }
    void NameBytesLimit(uint64_t V) { FNameBytesLimit = V; }

    // The threads an extraction may keep busy (1 to 64). With 1, everything runs on the
    // calling thread, one step after the other; with more, work that no event watches
    // (the authentication code of a large AES entry) runs beside the decoder. Events are
    // raised on the calling thread either way.
    int32_t Threads() const { return FThreads; }
    void Threads(int32_t V) { FThreads = V < 1 ? 1 : V > 64 ? 64 : V; }

protected:
    void ExtractArchive(std::unique_ptr<TStream32>& Stream) override;

    // The two walks: collect the selected entries, then extract them.
    int32_t ScanCentralDirectory(TStream32& Stream);
    int32_t ScanLocalHeaders(TStream32& Stream);
    // After a directory read to its end (DirEnd): a notice for each way the end records
    // disagree with what the walk found and went by.
    void NoteDirectoryMismatch(int64_t DirEnd);
    void ExtractListed(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out);
    void ExtractScanned(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out);

    // Makes Entry the entry of the directory walk at Index of the table, from its
    // directory record.
    void DirectoryEntry(int32_t Index, const TDirEntry& Record, TZipEntry& Entry) const;
    // Completes a directory entry with the local header just read (FLocalHdr and the
    // extra field's slots): its flags and date, and high words the directory lacks.
    void AddLocalHeader(TZipEntry& Entry) const;
    // The entry of the local-header scan at Index, from the local header just read.
    TZipEntry ScannedEntry(int32_t Index, const TDirEntry& Record, std::string Name) const;
    // Hands an entry the walk has built to the run's mode: listed, or extracted (or
    // tested) under its output name. The component's properties answer from it while
    // its events run.
    void TakeEntry(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out,
                   TZipEntry& Entry);
    // One entry: begin step, method lookup, password, output file, decoding, verdict.
    // Begun: the begin step has been raised already (for an entry begun ahead of its
    // turn and taken up again); the overwrite decision follows it.
    bool ExtractEntry(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out,
                      TZipEntry& Entry, bool Begun = false);
    // Runs the entry's data through its layers: the window of its compressed bytes in
    // Stream, the cipher for an encrypted entry, the method's decoder, and Sink.
    TDecodeResult DecompressEntry(const TMethodRow& Method, TStream32& Stream,
                                  const TZipEntry& Entry, TEntrySink& Sink);
    // The password search for Entry, whose 12-byte encryption header is Header: the
    // last password that worked, the list, then OnGetPassword. On success the entry's
    // cipher stands just past that header.
    bool VerifyPassword(TZipEntry& Entry, const uint8_t* Header);
    // Whether FPassword passes the check byte of Header; the entry's cipher is then ready.
    bool TryPassword(TZipEntry& Entry, const uint8_t* Header);
    // After the entry failed with FPassword: takes the next password of the list (not
    // in Failed) that passes the check, and puts Stream back at DataAt, the entry's data
    // after its encryption header. False when none is left.
    bool RetryPassword(TZipEntry& Entry, const uint8_t* Header, std::vector<std::string>& Failed,
                       TStream32& Stream, int64_t DataAt);
    // The end of an extracted or tested entry whose bytes went into Sink: reports,
    // the output file closed (Out, when extracting) and its date and attributes set,
    // OnEnd; Pass is the verdict of the bytes. Returns the entry's verdict.
    bool EntryVerdict(TZipEntry& Entry, uint32_t Attributes, TEntrySink& Sink, bool Pass,
                      std::unique_ptr<TOutputStream>& Out, bool Testing,
                      const TOutputSeal* Sealed = nullptr);

    // Workers (Threads above 1): started for an extraction from a file, off split sets.
    std::unique_ptr<TEntryWorkers> StartWorkers(TStream32& Stream);
    // Gives Entry, whose output name is set and whose data Stream stands at, to the
    // workers when nothing about it needs the host before its turn: a plain file entry
    // of a method with a row whose name is free (or is replaced unasked); a file too
    // large for a job, and a folder, keep their place and are extracted in turn.
    bool GiveToWorkers(TStream32& Stream, TZipEntry& Entry);
    // Takes back the oldest job given (All: every one, oldest first), each finished as
    // its turn comes; the entry of the walk under way keeps its name and place.
    void TakeBack(bool All);
    // An entry back from a worker: its begin step, then its verdict.
    void FinishJob(TEntryJob& Job);
    // The password an encrypted entry is tried with first: the one that opened the last
    // entry, else the list's first.
    const std::string& FirstPassword() const;
    // A job extracted in its turn on the calling thread, from the walk's own stream, as
    // on one thread (Begun: its begin step is done).
    void ExtractInTurn(TEntryJob& Job, bool Begun);
    // Whether what a job was begun ahead under still holds in its turn, once its begin
    // step has run: the host may have changed the overwrite settings or the file's
    // stamp there.
    bool AheadHolds(const TEntryJob& Job);
    // A job's file that its turn did not take: it goes, with the folders made for it
    // alone, and its name is free for a later entry.
    void WithdrawAhead(TEntryJob& Job);

    // Empties the entry's output file for another attempt.
    bool RestartOutput(std::unique_ptr<TOutputStream>& Out);
    // An accepted entry that will not be written after all.
    void DeclineEntry(const TZipEntry& Entry);

    // A stored name as read: all its stored bytes (a Unicode Path field names them by
    // their CRC-32), of which the name is the first Length, up to the first zero. The
    // whole name is kept: cut anywhere, it would name another file.
    struct TRawName {
        std::string Bytes;
        size_t Length = 0;
    };
    // Reads a stored name of Length bytes into Raw, deciphering it when the header was
    // enciphered.
    void ReadEntryName(TStream32& Stream, uint16_t Length, bool Enciphered, TRawName& Raw);
    // The name Raw stands for into Name, read with the extra field read last
    // (FExtraFacts): Flags bit 11 marks a name already in UTF-8, Host is the writer's
    // system.
    void EntryName(const TRawName& Raw, uint16_t Flags, uint8_t Host, std::string& Name) const;
    // Parses an extra field of a local (Kind 0) or central (Kind 1) header: ZIP64
    // values replace the header slot's 32-bit fields, high words go to FHighParts,
    // times and the Unicode name to FExtraFacts.
    void ReadExtraField(TStream32& Stream, uint16_t Length, int Kind);
    bool MatchFileSpec(const std::string& Name);
    // Reads the local header at Position with its name and extra field (deciphering an
    // enciphered one) and gives the name, read as Host's, in Name; the stream is left at
    // the entry's data.
    void ReadEntryLocalHeader(TStream32& Stream, int64_t Position, uint8_t Host, std::string& Name);
    // A symbolic link entry whose data Stream stands at (past an encryption header):
    // its target decoded by Method and checked, then the link made in place of a file.
    bool ExtractLink(TStream32& Stream, const TMethodRow& Method, const TZipEntry& Entry);
    // Decodes the target of a link entry whose data Stream stands at into Target; false
    // when it is too long, fails its CRC or cannot be decoded. Owner: the run reports
    // progress and watches for cancel (extraction), or not (a listing).
    bool ReadLinkTarget(TStream32& Stream, const TMethodRow& Method, const TZipEntry& Entry,
                        std::string& Target, bool Owner);
    // What the output of Entry takes from it besides its bytes; Attributes are its
    // external attributes as the run settled them.
    TOutputFacts OutputFacts(const TZipEntry& Entry, uint32_t Attributes) const;
    // Reports an entry whose stored name is empty.
    void ReportNamelessEntry();
    // Whether the table has room for Name within NameBytesLimit; reports once when not.
    bool NameRoom(const std::string& Name);
    // Whether the local-header scan, stopped at Pos, reached the archive's end: the end
    // of the file, or a record that follows the entries (directory, end records).
    bool LocalRunEndsCleanly(TStream32& Stream, int64_t Pos);
    // Reads the 30-byte local header at Pos into FLocalHdr without moving the walk.
    // Span is how far the entry's header and data are expected to reach: a file stream
    // (File, when Stream is one) reads a block beyond the header when the entries there
    // are small, and the headers that block holds are taken from Block without another
    // system call.
    bool ReadLocalHeaderAt(TStream32& Stream, THandleStream32* File, int64_t Pos, int64_t Span,
                           THeaderBlock& Block);
    // The length of the local header in FLocalHdr with its name and extra field.
    uint32_t LocalHeaderLength(bool Enciphered);
    // True when the plain local header in FLocalHdr, whose name and extra field are at
    // Rest (null: not read), would leave Entry as the directory describes it: the
    // directory record's name bytes are Raw and its fields are in FExtraFacts.
    bool LocalHeaderPlain(const uint8_t* Rest, const TDirEntry& Entry, const TRawName& Raw) const;
    // Runs the entry checks over the collected entries: drops (and reports) the ones
    // whose bytes overlap another's or the Directory's (null: no directory was read).
    void VetEntries(const TArchiveSpan* Directory);
    // Reports an entry whose local header names another file than its directory
    // record: the directory's name stands, since the entry was selected by it.
    void CheckLocalName(const TZipEntry& Entry, const std::string& LocalName);
    // A walk that ran out of memory: reported, never passed for complete.
    void ReportOutOfMemory();

    // Split sets: the set opens its parts, asking the host through this component.
    bool OpenVolumeSet(std::unique_ptr<TStream32>& Stream);
    // The handlers the set asks this component through.
    TVolumeHost VolumeHost();
    TVolumeSet FVolumeSet{VolumeHost()};

    // The times and Unicode name of the extra field read last.
    TExtraFacts FExtraFacts;
    // The bytes of the name and the extra field read last, kept from header to header so
    // that a walk of many entries reuses their memory.
    TRawName FRawName;
    std::vector<uint8_t> FExtraBytes;
    // The entry being taken, while its events run; null between entries.
    TZipEntry* FEntry = nullptr;
    // The decoders' working buffers, lent to each entry's sink in turn.
    TEntryBuffers FEntryBuffers;
    uint64_t FNameBytesLimit = uint64_t{1} << 30;
    int32_t FThreads = 1;
    // The workers of the extraction under way, if it has any; FTakingBack while their
    // jobs are being finished.
    TEntryWorkers* FWorkers = nullptr;
    std::unique_ptr<TStream32>* FWalkStream = nullptr; // the walk's stream, while workers run
    bool FTakingBack = false;
};
