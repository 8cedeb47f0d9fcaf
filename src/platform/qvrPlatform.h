// The one door between the component library and the operating system.
//
// Components speak in the library's own terms: UTF-8 path strings with "\" as the
// separator, 32-bit DOS date-times, Win32-style attribute bits and error codes. Each
// operating system has its implementation in posix/ or win32/, chosen by CMake, one file
// per concern and the same concerns on both: qvrPosixFiles.cpp and qvrWin32Files.cpp hold
// the section "Files" below, and so on. Nothing above this header includes an OS header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace qvrOS {

// An open file. -1 is "no handle", as the streams expect.
using THandle = std::intptr_t;
inline constexpr THandle InvalidHandle = -1;

// Attribute bits in the Win32 layout; POSIX maps read-only onto the write permission
// bits and directory onto the file type, the others are reported as clear.
inline constexpr uint32_t faReadOnly = 0x01;
inline constexpr uint32_t faHidden = 0x02;
inline constexpr uint32_t faSysFile = 0x04;
inline constexpr uint32_t faDirectory = 0x10;
inline constexpr uint32_t faArchive = 0x20;
inline constexpr uint32_t faNormal = 0x80;
// A symbolic link, or on Windows any reparse point (a junction too).
inline constexpr uint32_t faReparsePoint = 0x400;

// Error codes in the Win32 numbering, whatever the system: the component tests them.
inline constexpr uint32_t ErrorFileNotFound = 2;
inline constexpr uint32_t ErrorAccessDenied = 5;
inline constexpr uint32_t ErrorWriteProtect = 19;
inline constexpr uint32_t ErrorDiskFull = 112;
// A name longer than the system takes (on POSIX also a link's target).
inline constexpr uint32_t ErrorNameTooLong = 206;
// Failures of the output tree that no system call reports, in the range Win32 leaves to
// applications: the name a file or link is to take holds a folder (on Windows a link to
// one too), or something that is neither a file nor a link (a device, a pipe, a socket).
inline constexpr uint32_t ErrorFolderInTheWay = 0x20010001;
inline constexpr uint32_t ErrorNotAFile = 0x20010002;
// The text of one of the two codes above, nullptr for any other: ErrorText gives it on
// every system.
inline const char* OutputErrorText(uint32_t Code)
{
    if (Code == ErrorFolderInTheWay) return "a folder is in the way";
    if (Code == ErrorNotAFile) return "not a regular file (a device or a pipe is in the way)";
    return nullptr;
}

// ---------------------------------------------------------------------------------
// Files: handles, times, attributes, names and paths, temporary files.

// Access and sharing as the open-mode word describes them.
enum class TAccess { Read, Write, ReadWrite };
enum class TShare { Exclusive, DenyWrite, DenyRead, DenyNone };

THandle FileOpen(const std::string& Name, TAccess Access, TShare Share);
// Creates (or truncates) Name for reading and writing, not shared.
THandle FileCreate(const std::string& Name);
// One system call each; -1 on failure.
int32_t FileRead(THandle H, void* Buf, int32_t Count);
int32_t FileWrite(THandle H, const void* Buf, int32_t Count);
// Reads at an absolute offset without moving the file pointer; -1 on failure.
int32_t FileReadAt(THandle H, void* Buf, int32_t Count, int64_t Offset);
// A second handle of the open file H, for reading on another thread by FileReadAt:
// the same file whatever has happened to its name since. InvalidHandle on failure.
THandle FileReopenForReading(THandle H);
// Tells the system that H will be read mostly from start to end, so that it reads
// further ahead; only a hint, where the system takes one.
void FileAdviseSequential(THandle H);
// Origin 0 from the beginning, 1 from the current position, 2 from the end; -1 on failure.
int64_t FileSeek(THandle H, int64_t Offset, int Origin);
bool FileSetEnd(THandle H);
bool FileClose(THandle H);
// Last-write time of an open file, as a local DOS date-time.
bool FileSetDosTime(THandle H, uint32_t DosTime);
// Kind 0 creation, 1 last write, 2 last access; 0 when unknown.
uint32_t FileGetDosTime(THandle H, int Kind);

// A time to give a file or folder: a local DOS date-time (2-second steps, the zone of
// the reader), or a true time in UTC, Seconds and Nanos after 1970-01-01.
struct TFileTime {
    bool Utc = false;
    uint32_t Dos = 0;
    int64_t Seconds = 0;
    uint32_t Nanos = 0;
};
// Last-write (and last-access) time of an open file.
bool FileSetTime(THandle H, const TFileTime& Time);

// Whether symbolic links stored in archives are made as links: POSIX only. Windows
// keeps them as files that hold their targets, since making a link there needs a
// privilege an ordinary user lacks.
bool MakesSymbolicLinks();

// Attributes of a file or folder; -1 when it cannot be queried.
int64_t GetAttributes(const std::string& Name);
bool SetAttributes(const std::string& Name, uint32_t Attr);
// True when a directory search for Name (which may hold the wildcards * and ?) finds
// anything; on POSIX, where * and ? are characters of names, Name itself counts first.
bool FindFirstExists(const std::string& Name);
bool DeleteFileName(const std::string& Name);
// Whether A and B name the same existing file (one device and inode, or one volume
// and file ID), whatever their spelling.
bool SameFile(const std::string& A, const std::string& B);
// Whether Step (one name, no separators) can be the name of a folder (Folder set) or of a
// file on this system; when not, LastError says why. Both refuse names of more than 255
// bytes on POSIX, 255 UTF-16 units on Windows. Windows refuses the characters <>:"|?*
// and control characters, and names of dots and spaces only; a folder's name may not
// end in a dot or a space either (the system drops them from the last step of a path
// only, so such a folder could be made and then never be found again), while a file's
// trailing dots and spaces are dropped (FileNameKey). POSIX refuses only "/" and NUL.
bool NameAllowed(std::string_view Step, bool Folder);
// Path in the form this system's file systems compare names in: two paths with one key
// name one file. Windows compares without case and without the trailing dots and spaces
// of each step; POSIX byte for byte (a case-insensitive volume mounted there is taken as
// exact, so two names that differ only in case are not caught there).
std::string FileNameKey(const std::string& Path);
// Whether every path is its own key (POSIX): callers may skip making a copy of it.
bool FileNamesExact();
// Whether this system takes the device names (CON, NUL, COM1, ...) for devices in
// every folder: true on Windows only.
bool DeviceNamesReserved();
// A path in the component's form ("\" between folders) as this system writes it, for
// what a host is handed: "/" between folders on POSIX, unchanged on Windows.
std::string HostPath(std::string Path);
// The same, in place.
void MakeHostPath(std::string& Path);
bool MoveFileName(const std::string& From, const std::string& To);
// Absolute form of Name, relative names taken from the current directory; "\" separated.
std::string FullPath(const std::string& Name);
// Creates one folder level; its parent must exist.
bool CreateDir(const std::string& Name);
// Current directory, "\" separated, without trailing separator.
std::string CurrentDir();
// The folder for temporary files, with its trailing "\"; empty on failure.
std::string TempPath();
// A new empty file with a unique name in Dir, starting with Prefix; empty on failure.
std::string TempFileName(const std::string& Dir, const std::string& Prefix);
// ---------------------------------------------------------------------------------
// Volumes: disk space, drive types, labels, and what a drive that is not ready does.

// Free and total bytes of the volume holding Path; false when unknown.
bool DiskSpace(const std::string& Path, int64_t& Free, int64_t& Total);

// Drive and volume facts, for telling a set of removable disks from split files.
// Drive types in the Win32 numbering: 0 undetermined, 1 no such root, 2 removable,
// 3 fixed, 4 remote, 5 CD-ROM, 6 RAM disk.
inline constexpr uint8_t DriveUnknown = 0;
inline constexpr uint8_t DriveNoRoot = 1;
inline constexpr uint8_t DriveRemovable = 2;
inline constexpr uint8_t DriveFixed = 3;
inline constexpr uint8_t DriveRemote = 4;
inline constexpr uint8_t DriveCdRom = 5;
inline constexpr uint8_t DriveRamDisk = 6;

struct TVolumeFacts {
    std::string Label;      // empty when the volume has none or none can be read
    std::string FileSystem; // "NTFS", "FAT", "ext4", "nfs", ...
    uint32_t Serial = 0;
    uint32_t MaxComponentLength = 0;
    uint32_t FileSystemFlags = 0;
};

// The root of the volume that holds Path: "C:" or "\\server\share" on Windows (the
// current directory's drive for a path without one), the mount point on POSIX.
std::string VolumeRoot(const std::string& Path);
uint8_t DriveType(const std::string& Root);
// Whether the medium can be read now (a floppy drive without a disk cannot).
bool DriveReady(const std::string& Root);
// Whether the medium refuses writes (a write-protected disk, a read-only mount).
bool DriveWriteProtected(const std::string& Root);
// Label, file system and serial number; false when the volume cannot be queried.
bool VolumeInformation(const std::string& Root, TVolumeFacts& Facts);
// The BIOS type of a floppy drive: 7 for 3.5-inch, 8 for 5.25-inch, 0 where the
// system cannot say (every system without the legacy VWIN32 device).
uint8_t FloppyBiosType(char Letter);
// Asks the user whether to retry, in a Retry/Cancel box with the stop icon; true for
// Retry. Without a windowing system there is no box and the answer is false.
bool AskRetry(const std::string& Caption, const std::string& Text);

// While alive, critical errors (a drive that is not ready) fail at once instead of
// asking the user; restores the previous mode on destruction.
class TCriticalErrorGuard {
public:
    TCriticalErrorGuard();
    ~TCriticalErrorGuard();
    TCriticalErrorGuard(const TCriticalErrorGuard&) = delete;
    TCriticalErrorGuard& operator=(const TCriticalErrorGuard&) = delete;

private:
    // POSIX has no such mode, so only the Windows side reads it.
    [[maybe_unused]] unsigned FPrevious;
};

// ---------------------------------------------------------------------------------
// System: the clock, the time zone, and the error state of each thread.

// Milliseconds from an arbitrary fixed point; wraps like the Win32 tick count.
uint32_t TickCount();
// The current local date and time as a packed DOS date-time.
uint32_t LocalDosTime();
// The local DOS date-time of a UTC time, Seconds after 1970-01-01 (0 when the system
// cannot say).
uint32_t LocalDosTimeOf(int64_t Seconds);
// Minutes to add to local time to get UTC.
int32_t TimeZoneBias();

// The error code of the last failed call of this interface on this thread.
uint32_t LastError();
// The system's text for an error code.
std::string ErrorText(uint32_t Code);

// ---------------------------------------------------------------------------------
// Output: the tree of folders and files an extraction writes, walked without following
// links.

// What opening the folders of an output file found: the folder is open, a step is
// missing (and was not to be made), a step is a link, or it failed otherwise (a file in
// the way, no permission).
enum class TFolderState { Ready, Missing, Link, Failed };

// A handle closed when its last holder lets it go; each system's file defines it where
// it needs one (POSIX folders, which an output file may outlive its tree's use of).
struct TSharedHandleBody;
using TSharedHandle = std::shared_ptr<const TSharedHandleBody>;

// A file being written below the destination. Under a free name it is made exclusively
// (never through a link, and so never a hard link to anything). Where a name is taken,
// the entry goes into a new file of its own beside it, takes its bytes, attributes and
// time through its handle, and only then takes the final name by a rename: whatever
// stood there (a file, a link, a hard link to a file elsewhere) is replaced, never
// written through, and stays exactly as it was until the new file is complete.
class TOutputFile {
public:
    TOutputFile() = default;
    ~TOutputFile() { Discard(); }
    TOutputFile(TOutputFile&& Other) noexcept { Swap(Other); }
    TOutputFile& operator=(TOutputFile&& Other) noexcept
    {
        if (this != &Other) {
            Discard();
            Swap(Other);
        }
        return *this;
    }
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;

    THandle Handle() const { return FHandle; }
    bool Valid() const { return FHandle != InvalidHandle; }
    // Whether something stood under the final name when the file was begun: a failed
    // entry must then leave it alone rather than put half a file in its place.
    bool Replaces() const { return FReplaces; }
    // Sets the attribute bits on the open file: read-only on POSIX (no write bits of the
    // mode a new file gets from the system), read-only, hidden and system on Windows.
    bool SetAttributes(uint32_t Attr);
    // Sets the permission bits of a POSIX mode (07777: rwx for owner, group and others,
    // setuid, setgid, sticky) on the open file exactly, the umask aside. Windows has no
    // such bits: a mode without any write bit makes the file read-only there.
    bool SetMode(uint32_t Mode);
    // Closes the handle (the bytes are then handed to the system); false when the system
    // reports a failure. Commit and Discard close it too. A POSIX file is made with its
    // owner's bits only, so that nobody else can read it while it is written; one that
    // got no mode or attributes takes the system's (0666 less the umask) here.
    bool Close()
    {
        if (FHandle == InvalidHandle) return true;
        const bool settled = Settle();
        const bool closed = FileClose(FHandle);
        FHandle = InvalidHandle;
        return settled && closed;
    }
    // Closes the file and, when it replaces something, gives it its final name; false
    // when either fails (a replacing file is then removed).
    bool Commit()
    {
        bool ok = Close();
        if (FTemp.empty()) return ok;
        ok = ok && Rename();
        if (ok) FTemp.clear();
        Discard();
        return ok;
    }
    // Closes the file; one that replaces something is removed, and the final name is
    // left as it was. A file under a name that was free keeps what was written of it.
    void Discard()
    {
        Close();
        if (!FTemp.empty()) Remove();
        FTemp.clear();
        FFolder.reset();
    }
    // Closes the file and removes it under whichever name it has: a file begun for an
    // entry that is not extracted after all leaves no trace.
    void Withdraw()
    {
        if (FTemp.empty()) FTemp = FFinal;
        Discard();
    }

private:
    friend class TOutputTree;
    // The system's part of Commit and Discard for a replacing file: moving it over the
    // final name, and removing it.
    bool Rename();
    void Remove();
    // The system's part of Close: the mode a file without one of its own takes.
    bool Settle();
    void Swap(TOutputFile& Other) noexcept
    {
        std::swap(FHandle, Other.FHandle);
        std::swap(FFolder, Other.FFolder);
        std::swap(FFolderPath, Other.FFolderPath);
        std::swap(FTemp, Other.FTemp);
        std::swap(FFinal, Other.FFinal);
        std::swap(FReplaces, Other.FReplaces);
        std::swap(FReplaceReadOnly, Other.FReplaceReadOnly);
        std::swap(FSystemMode, Other.FSystemMode);
        std::swap(FModeSet, Other.FModeSet);
    }

    THandle FHandle = InvalidHandle;
    // The folder (POSIX: a handle of its own; Windows: its name, with the trailing "\")
    // and the final name; for a file that replaces something, its own name there until
    // Commit.
    TSharedHandle FFolder;
    std::string FFolderPath;
    std::string FTemp;
    std::string FFinal;
    bool FReplaces = false;
    [[maybe_unused]] bool FReplaceReadOnly = false;
    // POSIX: the mode a new file gets from the system (0666 less the umask), and whether
    // SetMode or SetAttributes gave the file a mode of its own.
    [[maybe_unused]] uint32_t FSystemMode = 0;
    [[maybe_unused]] bool FModeSet = false;
};

// POSIX: made with its owner's bits only, a folder the output tree makes stays private
// until the end of the run, when SetFolder gives it its final mode: a stored one, or this
// one, the mode a new folder gets from the system (0777 less the umask).
inline constexpr uint32_t SystemFolderMode = 0xFFFFFFFFu;

// The folders below one destination folder, walked without following links: a step
// that is a symbolic link (on Windows any reparse point: a symbolic link, a junction)
// is never entered, and nothing is ever written or changed through a link or a hard
// link found in the destination. The destination itself is taken as the user named it,
// link or not. The folder reached last stays open (on POSIX as a handle, so that its
// files are created relative to it): the entries of one folder usually follow each
// other.
class TOutputTree {
public:
    TOutputTree() = default;
    ~TOutputTree();
    TOutputTree(const TOutputTree&) = delete;
    TOutputTree& operator=(const TOutputTree&) = delete;

    // The destination folder, "\" separated, with its trailing "\"; another one than
    // before closes what is open.
    void Root(const std::string& Dir)
    {
        if (Dir == FRoot) return;
        Close();
        FRoot = Dir;
    }
    // Opens the folder Rel below the destination ("a\b\"; empty: the destination),
    // making the missing levels when Make is set.
    TFolderState Folder(std::string_view Rel, bool Make);
    // Whether the folder opened last is Rel below the destination Dir.
    bool IsOpen(const std::string& Dir, std::string_view Rel) const
    {
        return FReady && Rel == FFolder && Dir == FRoot;
    }
    // The folder opened last, relative to the destination, and where in it the levels
    // its Folder call made begin (npos: that call made none).
    std::string_view Opened() const { return FFolder; }
    size_t MadeFrom() const { return FMadeFrom; }
    // Removes the folder Rel below the destination ("a\b\") if it is empty, its parent
    // walked to as Folder walks, without following a link. A link in its place is
    // never removed, nor what it leads to. Leaves the parent open.
    bool RemoveEmpty(std::string_view Rel);
    // Begins the file Leaf in the folder opened last (TOutputFile). Fails, leaving File
    // invalid, when a folder (ErrorFolderInTheWay; on Windows a link to a folder too), a
    // device or a pipe (ErrorNotAFile) holds the name, or a read-only file does and
    // ReplaceReadOnly is clear.
    bool Begin(const std::string& Leaf, bool ReplaceReadOnly, TOutputFile& File);
    // Makes Leaf in the folder opened last a symbolic link to Target, taken verbatim, and
    // gives the link itself Time. Under a free name the link is made at once; a taken
    // name gets a link of its own beside it that is then renamed over it, so nothing
    // standing there is followed or written through. Refuses what Begin refuses (a
    // folder, a device or a pipe, a read-only file unless ReplaceReadOnly); a target the
    // system cannot hold fails with ErrorNameTooLong. POSIX only: false with
    // ErrorAccessDenied on Windows.
    bool Link(const std::string& Leaf, const std::string& Target, bool ReplaceReadOnly,
              const TFileTime& Time);
    // Gives the folder Leaf of the folder opened last its Mode (a POSIX mode with its
    // type bits, whose 07777 bits are set as SetMode sets them; SystemFolderMode: the
    // system's; 0: left as it is) and Time (none: left as it is). The folder is opened
    // without following a link: a link in its place is left alone and the call fails.
    // Windows has no mode bits and sets the time only.
    bool SetFolder(const std::string& Leaf, uint32_t Mode, const TFileTime* Time);
    // Attributes of Leaf in the folder opened last, of a link itself (faReparsePoint);
    // -1 when there is none.
    int64_t Attributes(const std::string& Leaf);
    // Closes what is open; the next Folder starts from the destination again.
    void Close();

private:
    // A name for a file or link that replaces a taken one: free when made, short, and
    // different each time within a run.
    std::string ReplacementName();

    std::string FRoot;
    std::string FFolder; // the folder opened last, relative to FRoot
    bool FReady = false; // FFolder is open
    size_t FMadeFrom = std::string_view::npos;
    uint32_t FSerial = 0; // makes the names of replacing files differ within a run
    // POSIX: the umask, read once a run; -1 before it is read.
    [[maybe_unused]] int32_t FUmask = -1;
    uint32_t SystemMode(uint32_t Bits);
    // The last Begin found its name taken: entries of a run over an earlier one's files
    // are looked at before a file is made.
    bool FTaken = false;
    // POSIX only: the destination and the folder opened last, as handles.
    TSharedHandle FRootHandle;
    TSharedHandle FFolderHandle;
    // POSIX only: the leading steps of the folder opened last, each still open, so that
    // the next folder is walked from the deepest step the two share; and the folders
    // this tree made (native, relative to FRoot), below which a step it has not made
    // yet is made at once instead of being looked for first.
    struct TOpenStep {
        std::string Name;
        TSharedHandle Handle;
        bool Made = false;
    };
    std::vector<TOpenStep> FSteps;
    std::unordered_set<std::string> FMade;
};

// ---------------------------------------------------------------------------------
// Text: code pages and UTF-16, the terminal and the console.

// Whether a standard stream (0 in, 1 out, 2 error) is an interactive terminal.
bool IsTerminal(int Stream);
// Width of the terminal on standard error, 80 when unknown.
int TerminalWidth();
// Makes standard output carry bytes as they are: Windows would otherwise turn every
// line feed written to it into a carriage return and a line feed. POSIX has no such
// mode.
void BinaryStandardOutput();

// Entry names from archives written on DOS-family systems are in the OEM code page;
// this turns such a name into UTF-8.
std::string OemToUtf8(std::string_view Name);
// Whether names can be read in the code page called Name: a number ("437", "936",
// "1252"), or a name ("GBK", "BIG5", "SJIS", "CP1252", "UTF-8").
bool CodePageKnown(const std::string& Name);
// Text in code page CodePage as UTF-8. A byte that does not convert becomes "%XX"
// (its value in hex), so no part of a name is lost.
std::string CodePageToUtf8(std::string_view Text, const std::string& CodePage);

// UTF-16 text, the form Windows hands command-line arguments over in, as UTF-8. A
// surrogate without its partner becomes U+FFFD; an embedded NUL is kept.
std::string Utf16ToUtf8(std::u16string_view Text);

// Text in the ANSI code page of the process (what the "A" entry points of Windows pass)
// as UTF-8. POSIX has no such code page and passes its arguments in UTF-8 already, so
// there the text comes back unchanged.
std::string AnsiToUtf8(std::string_view Text);

// While alive, the console reads and writes UTF-8; restores its previous code pages on
// destruction, since they belong to the console window and would outlive the program.
// Does nothing where there is no console or, as on POSIX, no console code page.
class TUtf8ConsoleGuard {
public:
    TUtf8ConsoleGuard();
    ~TUtf8ConsoleGuard();
    TUtf8ConsoleGuard(const TUtf8ConsoleGuard&) = delete;
    TUtf8ConsoleGuard& operator=(const TUtf8ConsoleGuard&) = delete;

private:
    // Output and input code pages before the switch, 0 for none; only Windows has them.
    [[maybe_unused]] unsigned FOutput;
    [[maybe_unused]] unsigned FInput;
};

// While alive, what is typed on the terminal at standard input is not shown (a
// password); restores the terminal's mode on destruction. Does nothing when standard
// input is not a terminal.
class TEchoOffGuard {
public:
    TEchoOffGuard();
    ~TEchoOffGuard();
    TEchoOffGuard(const TEchoOffGuard&) = delete;
    TEchoOffGuard& operator=(const TEchoOffGuard&) = delete;

private:
    // The mode to restore: the termios flags on POSIX, the console mode on Windows.
    bool FSaved = false;
    unsigned long FMode = 0;
};

// Interrupts of a command: Ctrl-C, a termination and a hang-up (SIGINT, SIGTERM and
// SIGHUP on POSIX). Once caught, each is only recorded, and a read waiting for the
// terminal returns without an answer, so that the command ends its run itself: its
// temporary files withdrawn, the terminal's mode restored. A signal ignored when the
// process started (nohup, a background job) stays ignored. Windows has no handler
// here: Ctrl-C ends a console program there as before.

// Installs the handlers on the calling thread's behalf: the one that reads the
// terminal. False where none can be installed.
bool CatchInterrupts();
// The first signal caught since CatchInterrupts, 0 when none. Safe from any thread.
int CaughtInterrupt();
// Ends the process by Signal as it would have ended without a handler, so that its
// parent (a shell) sees which signal ended it.
[[noreturn]] void EndByInterrupt(int Signal);

// ---------------------------------------------------------------------------------
// Crypto: the arithmetic of WinZip AES entries, done by the system's own library
// (Nettle on POSIX, CNG on Windows; qvrPosixCrypto.cpp, qvrWin32Crypto.cpp).
// Keys and key schedules live in the objects that use them and are wiped with them.

// Overwrites Size bytes at P with zeros; the compiler may not drop it as a dead store.
void WipeMemory(void* P, size_t Size);

// Fills Out (OutSize bytes) with PBKDF2 over HMAC-SHA1 of Password and Salt, Iterations
// rounds; false when the library refuses.
bool DerivePbkdf2Sha1(std::string_view Password, const uint8_t* Salt, size_t SaltSize,
                      uint32_t Iterations, uint8_t* Out, size_t OutSize);

// AES encryption of whole 16-byte blocks under one key of 16, 24 or 32 bytes, each
// block on its own (ECB): the caller builds its mode from them.
class TAesBlocks {
public:
    TAesBlocks(const uint8_t* Key, size_t KeySize);
    ~TAesBlocks();
    TAesBlocks(const TAesBlocks&) = delete;
    TAesBlocks& operator=(const TAesBlocks&) = delete;

    // Whether the key was taken.
    bool Ready() const { return FBody != nullptr; }
    // Enciphers Count blocks from In into Out; false on failure (Out is then zeros).
    bool Encipher(const uint8_t* In, uint8_t* Out, size_t Count);

    static constexpr size_t BlockSize = 16;

private:
    struct TBody;
    std::unique_ptr<TBody> FBody;
};

// HMAC-SHA1 of the bytes handed to Update, under one key.
class THmacSha1 {
public:
    THmacSha1(const uint8_t* Key, size_t KeySize);
    ~THmacSha1();
    THmacSha1(const THmacSha1&) = delete;
    THmacSha1& operator=(const THmacSha1&) = delete;

    bool Ready() const { return FBody != nullptr; }
    void Update(const uint8_t* P, size_t Size);
    // The code of everything given so far; false on failure. Once only.
    bool Final(uint8_t Code[20]);

    static constexpr size_t CodeSize = 20;

private:
    struct TBody;
    std::unique_ptr<TBody> FBody;
};

} // namespace qvrOS
