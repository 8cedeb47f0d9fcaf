// unspool: extracts a ZIP archive with the TUnZip component, showing its events on the
// terminal: a progress bar, overwrite questions, and every error with its code.
#include "CliMain.h"

#include "CliInterrupts.h"
#include "CliJson.h"
#include "CliMask.h"
#include "CliOptions.h"
#include "CliProgress.h"
#include "qvrPlatform.h"
#include "qvrMethods.h"
#include "qvrUnZip.h"

#include <cstdio>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

enum TExit { ExitOk = 0, ExitEntryFailed = 1, ExitArchiveFailed = 2, ExitUsage = 3 };

// The command's own report codes, above the component's: what it decided by itself.
// An existing file kept because nobody could be asked whether to replace it.
constexpr int32_t CliKeptExisting = 30001;
// A -f or -x mask that matches no entry of the archive.
constexpr int32_t CliMaskUnmatched = 30002;

// The control character at S[I], C0, DEL or the two-byte UTF-8 form of C1 (terminals
// obey all three): its code, with Len set to its length; -1 when there is none.
int ControlAt(const std::string& S, size_t I, size_t& Len)
{
    const auto c = static_cast<unsigned char>(S[I]);
    Len = 1;
    if (c < 0x20 || c == 0x7F) return c;
    if (c != 0xC2 || I + 1 >= S.size()) return -1;
    const auto next = static_cast<unsigned char>(S[I + 1]);
    if (next < 0x80 || next > 0x9F) return -1;
    Len = 2;
    return next;
}

// Text from the archive with its control characters shown as \xNN, since an escape
// sequence in it must not reach the terminal. Lines: line feeds and tabs stay as they
// are (the lines of a comment), and carriage returns before a line feed are dropped
// (some writers store "\r\r\n").
std::string Escaped(const std::string& Text, bool Lines)
{
    std::string s;
    s.reserve(Text.size());
    for (size_t i = 0, len = 1; i < Text.size(); i += len) {
        const int ctl = ControlAt(Text, i, len);
        const size_t past = ctl == '\r' ? Text.find_first_not_of('\r', i) : std::string::npos;
        const bool lineBreak = ctl == '\n' || ctl == '\t' ||
                               (past != std::string::npos && Text[past] == '\n');
        if (ctl < 0 || (Lines && lineBreak)) {
            if (ctl != '\r') s.append(Text, i, len);
            continue;
        }
        char esc[16];
        std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned>(ctl));
        s += esc;
    }
    return s;
}

// Turns "\" paths of the component back into the form the user typed, with control
// characters escaped.
std::string Shown(const std::string& Name)
{
#ifdef _WIN32
    return Escaped(Name, false);
#else
    std::string slashed = Name;
    for (char& c : slashed)
        if (c == '\\') c = '/';
    return Escaped(slashed, false);
#endif
}

// What extracting an entry of Method is called in the -v lines.
const char* Verb(uint16_t Method)
{
    switch (Method) {
    case 0: return "extracting";
    case 1: return "unshrinking";
    case 2: case 3: case 4: case 5: return "expanding";
    case 6: return "exploding";
    case 8: case 9: return "inflating";
    default: return "decoding";
    }
}

// A "\" path with "/" between folders, otherwise as stored (JSON escapes the rest).
std::string SlashName(std::string Name)
{
    for (char& c : Name)
        if (c == '\\') c = '/';
    return Name;
}

// S as a JSON string literal, always valid UTF-8: bytes that are not UTF-8 become
// "%XX" (EscapeInvalidUtf8, as in names), quotes and backslashes are escaped, and so are
// the control characters, which JSON requires of C0 and a terminal showing the line
// would otherwise obey.
std::string JsonString(const std::string& S)
{
    const std::string text = EscapeInvalidUtf8(S);
    std::string out = "\"";
    for (size_t i = 0, len = 1; i < text.size(); i += len) {
        const char c = text[i];
        if (const int ctl = ControlAt(text, i, len); ctl >= 0) {
            char esc[16];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(ctl));
            out += esc;
        } else {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
    }
    return out + "\"";
}

// The format of an archive the walk does not extract, in words ("ARJ", "LHA
// self-extractor"); "" when nothing is known of it.
std::string FormatWords(TArcType T)
{
    if (T == atNA || T == atUnknown || T == atUnsupported || T == atFileOpenErr) return "";
    std::string name = ArcTypeName(T);
    name.erase(0, 2); // the type names' "at"
    const bool program = name.size() > 3 && name.compare(name.size() - 3, 3, "Exe") == 0;
    if (program) name.erase(name.size() - 3);
    static constexpr std::pair<std::string_view, const char*> Words[] = {
        {"GZip", "gzip"}, {"TarGZip", "tar.gz"}, {"Tar", "tar"}, {"UUE", "uuencoded"},
        {"MsGZ", "MS compress"}, {"Bh", "BlakHole"}};
    bool named = false;
    for (const auto& [type, words] : Words)
        if (!named && name == type) {
            name = words;
            named = true;
        }
    if (!named)
        for (char& c : name) c = AsciiToUpper(c);
    return program ? name + " self-extractor" : name;
}

char AskOverwrite(const std::string& Name)
{
    for (;;) {
        std::fprintf(stderr, "replace %s? [y]es, [n]o, [A]ll, [N]one, [r]ename: ",
                     Shown(Name).c_str());
        std::fflush(stderr);
        std::string answer;
        if (!std::getline(std::cin, answer)) return 'N';
        if (answer == "y" || answer == "n" || answer == "A" || answer == "N" || answer == "r")
            return answer[0];
    }
}

class TCliRun {
public:
    explicit TCliRun(const TCliOptions& O)
        : FOptions(O),
          FBar(!O.Quiet && O.Action != TCliAction::Stdout && qvrOS::IsTerminal(2)),
          FSelection(O.FileSpec, O.ExcludeSpec, O.FoldCase) {}

    int Run()
    {
        FUnZip.NameCodePage(FOptions.NameCodePage);
        FUnZip.Threads(FOptions.Threads > 0 ? FOptions.Threads
                                            : static_cast<int32_t>(std::thread::hardware_concurrency()));
        OpenArchive();
        if (FOptions.Action == TCliAction::Identify) return Identify();
        if (FUnZip.ArchiveFile().empty()) {
            Error(FOptions.Archive, "", E_FILENOTFOUND);
            return ExitArchiveFailed;
        }
        // The file is there but could not be opened for reading (permissions, a FIFO or
        // a device): that is no verdict on its content.
        if (FUnZip.ArcType() == atNA &&
            !TFileStream32(FUnZip.ArchiveFile(), fmOpenRead | fmShareDenyWrite).Valid()) {
            Error(FOptions.Archive, "", E_OPENERR);
            return ExitArchiveFailed;
        }
        if (!IsZipWalkType(FUnZip.ArcType())) {
            const std::string format = FormatWords(FUnZip.ArcType());
            std::fprintf(stderr, "unspool: %s: not a ZIP archive%s\n", FOptions.Archive.c_str(),
                         format.empty() ? "" : (" (" + format + ")").c_str());
            return ExitArchiveFailed;
        }
        if (FOptions.Action == TCliAction::Comment) {
            PrintComment();
            return ExitOk;
        }
        std::string dest = FOptions.DestDir.empty() ? qvrOS::CurrentDir()
                                                    : qvrOS::FullPath(SlashToBackslash(FOptions.DestDir));
        // Listing and testing write nothing, so they need no destination.
        uint32_t refused = 0;
        if (FOptions.Action == TCliAction::Extract && !ForceDirs(dest, refused)) {
            Error(qvrOS::HostPath(dest), qvrOS::ErrorText(refused), E_OPENERR);
            return ExitArchiveFailed;
        }
        // A test writes no file: its reports name entries as the archive holds them.
        if (FOptions.Action == TCliAction::Test || FOptions.Action == TCliAction::Stdout)
            FHidePrefix = qvrOS::HostPath(AppendDirTail(dest));
        Configure(dest);
        if (FOptions.Action == TCliAction::Extract && !FOptions.Quiet) PrintComment();
        const uint32_t start = qvrOS::TickCount();
        switch (FOptions.Action) {
        case TCliAction::List: List(); break;
        case TCliAction::Test: FUnZip.TestFiles(); break;
        case TCliAction::Stdout: ToStdout(); break;
        default: FUnZip.ExtractFiles(); break;
        }
        FBar.Clear();
        // A mask the user gave that names nothing is most likely mistyped; when the
        // archive could not be read at all, no mask had its chance.
        if (!FArchiveFailed)
            for (const std::string& m : FSelection.Unmatched()) {
                Say(FOptions.Archive, "no entry matches '" + m + "'", CliMaskUnmatched);
                FEntryFailed = true;
            }
        // An entry left encrypted for want of a password was not extracted.
        if (FUnZip.PasswordSkips() > 0) FEntryFailed = true;
        // Standard output carries the entries' bytes and nothing else.
        // A run a signal stopped ends by that signal, without a summary.
        if (FOptions.Action != TCliAction::List && FOptions.Action != TCliAction::Stdout &&
            !FOptions.Quiet && !Interrupted())
            Summary((static_cast<uint32_t>(qvrOS::TickCount() - start) - FQuestionMs) / 1000.0);
        if (FStdoutError != 0) Say("standard output", std::strerror(FStdoutError), E_WRITEERR);
        if (FArchiveFailed) return ExitArchiveFailed;
        return FEntryFailed ? ExitEntryFailed : ExitOk;
    }

    // For a listing, the comment and the archive's type, what standard output carries is
    // the result: failing to write it fails the run as an unreadable archive does.
    bool StdoutReported() const { return FStdoutError != 0; }

    bool Listing() const
    {
        return FOptions.Action == TCliAction::List || FOptions.Action == TCliAction::Comment ||
               FOptions.Action == TCliAction::Identify;
    }

private:
    // Any file of a set names it (x.zip, a numbered part x.z01, a first piece x.zip.001):
    // the component finds the rest.
    void OpenArchive() { FUnZip.ArchiveFile(SlashToBackslash(FOptions.Archive)); }

    int Identify()
    {
        if (FOptions.Json)
            std::printf("{\"type\":\"%s\",\"walk_start\":%lld}\n", ArcTypeName(FUnZip.ArcType()),
                        static_cast<long long>(FUnZip.WalkStart()));
        else
            std::printf("%s %lld\n", ArcTypeName(FUnZip.ArcType()),
                        static_cast<long long>(FUnZip.WalkStart()));
        return FUnZip.ArchiveFile().empty() ? ExitArchiveFailed : ExitOk;
    }

    // One line per selected entry, then the totals; or one JSON object per entry.
    int32_t List()
    {
        int64_t size = 0, packed = 0;
        bool encrypted = false;
        if (!FOptions.Json)
            std::printf("%12s %12s %-9s %-16s %-8s %s\n", "Size", "Packed", "Method",
                        "Date      Time", "CRC-32", "Name");
        FUnZip.OnListEntry = [&](TZipCommon&, const TEntryListing& e) {
            size += e.Size;
            packed += e.Packed;
            encrypted = encrypted || e.Encrypted;
            // A method without a row still shows the name the format gives it; an AES
            // entry shows its strength and the method beneath the cipher.
            const char* named = MethodName(e.Method);
            const std::string method = e.AesStrength ? AesMethodName(e.AesStrength, e.AesMethod)
                                       : named       ? named
                                                     : "Method" + std::to_string(e.Method);
            // The time the file gets: an extended-time field's UTC time in local time,
            // where extraction gives it, else the stored DOS time.
            const uint32_t utc =
                FOptions.Date == daFileDate && e.Modified.Set ? qvrOS::LocalDosTimeOf(e.Modified.Seconds) : 0;
            const uint32_t d = utc != 0 ? utc : e.DosDateTime;
            char date[64];
            std::snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u", 1980 + (d >> 25),
                          (d >> 21) & 15, (d >> 16) & 31, (d >> 11) & 31, (d >> 5) & 63);
            const std::string name = FOptions.Json ? SlashName(e.Name) : Shown(e.Name);
            if (FOptions.Json) {
                const std::string link =
                    e.LinkTarget.empty() ? "null" : JsonString(SlashName(e.LinkTarget));
                std::printf("{\"name\":%s,\"size\":%lld,\"packed\":%lld,\"method\":%u,"
                            "\"method_name\":%s,\"date\":\"%s\",\"crc32\":\"%08x\","
                            "\"encrypted\":%s,\"directory\":%s,\"mode\":%s,\"link\":%s,"
                            "\"mtime_utc\":%s}\n",
                            JsonString(name).c_str(), static_cast<long long>(e.Size),
                            static_cast<long long>(e.Packed), e.Method,
                            JsonString(method).c_str(), date, e.Crc,
                            e.Encrypted ? "true" : "false", e.IsDirectory ? "true" : "false",
                            JsonUnixMode(e.Mode).c_str(), link.c_str(),
                            JsonUtcTime(e.Modified).c_str());
            } else {
                const std::string link = e.LinkTarget.empty() ? "" : " -> " + Shown(e.LinkTarget);
                std::printf("%12lld %12lld %-9s %-16s %08x %s%s%s\n", static_cast<long long>(e.Size),
                            static_cast<long long>(e.Packed), method.c_str(), date, e.Crc,
                            e.Encrypted ? "*" : "", name.c_str(), link.c_str());
            }
        };
        const int32_t n = FUnZip.ListFiles();
        if (!FOptions.Json) {
            std::printf("%12lld %12lld %d entr%s%s\n", static_cast<long long>(size),
                        static_cast<long long>(packed), n, n == 1 ? "y" : "ies",
                        encrypted ? " (* encrypted)" : "");
            PrintComment();
        }
        return n;
    }

    // Standard output as the entries' target. Its first failed write (a full disk, a
    // closed pipe) ends the run: what follows could not be written either, and bytes on
    // standard output cannot be taken back.
    class TStdoutStream : public TStream32 {
    public:
        explicit TStdoutStream(TCliRun& Run) : FRun(Run) {}
        int32_t Read(void*, int32_t) override { return 0; }
        int32_t Write(const void* Buffer, int32_t Count) override
        {
            if (Count <= 0 || FRun.FStdoutError != 0) return 0;
            const size_t n = std::fwrite(Buffer, 1, static_cast<size_t>(Count), stdout);
            FPos += static_cast<int64_t>(n);
            if (n == static_cast<size_t>(Count)) return Count;
            FRun.StdoutFailed(errno);
            return static_cast<int32_t>(n);
        }
        int64_t Seek(int64_t, int) override { return FPos; }

    private:
        TCliRun& FRun;
        int64_t FPos = 0;
    };

    void ToStdout()
    {
        qvrOS::BinaryStandardOutput();
        TStdoutStream out(*this);
        FUnZip.ReadFiles(out);
        if (std::fflush(stdout) != 0 && FStdoutError == 0) StdoutFailed(errno);
    }

    void StdoutFailed(int Error)
    {
        FStdoutError = Error != 0 ? Error : EIO;
        FEntryFailed = true;
        FUnZip.SetCancel(true);
    }

    // The archive's comment, when it has one, on lines of its own.
    void PrintComment()
    {
        const std::string comment = Escaped(FUnZip.ArchiveComment(), true);
        if (comment.empty()) return;
        std::fputs(comment.c_str(), stdout);
        if (comment.back() != '\n') std::fputc('\n', stdout);
    }

    // What became of the selected files: those written whole (or tested) and their
    // bytes, those that failed, the existing files kept, the entries left for want of a
    // password.
    void Summary(double Seconds)
    {
        const char* verb = FOptions.Action == TCliAction::Test ? "tested" : "extracted";
        std::string counts;
        auto count = [&counts](int64_t N, const char* What) {
            if (N > 0) counts += ", " + std::to_string(N) + What;
        };
        count(static_cast<int64_t>(FFailed.size()), " failed");
        count(FKept, " kept (existing)");
        count(FUnZip.PasswordSkips(), " skipped (no password)");
        std::printf("%d file%s %s%s, %s in %.2f s%s\n", FPassed, FPassed == 1 ? "" : "s", verb,
                    counts.c_str(), HumanBytes(FPassedBytes).c_str(), Seconds,
                    FEntryFailed || FArchiveFailed ? ", with errors" : "");
    }

    // A question to the user: the progress line makes way, and the time spent answering
    // counts neither for the rate nor for the run's time.
    class TQuestion {
    public:
        explicit TQuestion(TCliRun& Run) : FRun(Run), FStart(qvrOS::TickCount())
        {
            FRun.FBar.Clear();
            FRun.FBar.Pause();
        }
        ~TQuestion()
        {
            FRun.FBar.Resume();
            FRun.FQuestionMs += static_cast<uint32_t>(qvrOS::TickCount() - FStart);
        }
        TQuestion(const TQuestion&) = delete;
        TQuestion& operator=(const TQuestion&) = delete;

    private:
        TCliRun& FRun;
        uint32_t FStart;
    };

    void Configure(const std::string& Dest)
    {
        FUnZip.ExtractDir(Dest);
        // The command's masks decide (CliMask.h); the component's DOS masks let
        // everything through to them.
        FUnZip.FileSpec({"*.*"});
        FUnZip.ExcludeSpec({});
        FUnZip.OnSelectEntry = [this](TZipCommon&, const std::string& Name, bool& Take) {
            Take = FSelection.Take(Name);
        };
        FUnZip.Passwords(FOptions.Passwords);
        FUnZip.UseStoredDirs(FOptions.UseStoredDirs);
        // Without stored folders, a folder entry would name the destination itself.
        FUnZip.CreateStoredDirs(FOptions.CreateStoredDirs && FOptions.UseStoredDirs);
        FUnZip.DateAttribute(FOptions.Date);
        FUnZip.RestoreFileAttr(FOptions.RestoreAttributes);
        FUnZip.RestoreSpecialModes(FOptions.KeepSpecialModes);

        // Off a terminal nobody can be asked: without -o or -n an existing file is
        // kept, never replaced silently, and the run says so for each one.
        const bool ask = qvrOS::IsTerminal(0);
        const TOverwritePolicy policy = FOptions.Overwrite;
        FUnZip.ConfirmOverwrites(policy != TOverwritePolicy::Always);
        FUnZip.OnFileExists = [this, policy, ask](TZipCommon&, const std::string& Name,
                                                  std::string& NewName, TOverwriteMode& Mode) {
            if (policy == TOverwritePolicy::Default && !ask) {
                Say(Name, "exists, not replaced; -o replaces", CliKeptExisting);
                FEntryFailed = true;
            }
            Mode = policy == TOverwritePolicy::Default && ask ? Ask(Name, NewName) : omSkip;
            if (Mode == omSkip) ++FKept;
        };

        // The events name files as the system writes them.
        const std::string destPrefix = qvrOS::HostPath(AppendDirTail(Dest));
        // Only a bar shows the file's name: a quiet run or one off a terminal has it
        // escaped for nobody.
        if (FBar.Enabled())
            FUnZip.OnBegin = [this](TZipCommon&, const std::string& Name, int32_t, bool&) {
                FBar.SetFile(Shown(ExtractFileName(Name)));
            };
        FUnZip.OnProgress = [this](TZipCommon& Sender, uint8_t, uint8_t) {
            CancelIfInterrupted(Sender);
            const int64_t total = Sender.TotalUnpacked();
            FBar.Update(total - Sender.BytesLeft(), total);
        };
        // An entry that already has its report (a file that could not be opened) gets
        // no second line for its failed verdict.
        // -v names each file once it was written, under the destination: a file kept
        // or skipped gets no line.
        FUnZip.OnEnd = [this, destPrefix](TZipCommon& Sender, const std::string& Name, bool Pass) {
            // A stored folder is only made with -D.
            const bool folder = !Name.empty() && (Name.back() == '\\' || Name.back() == '/');
            if (Pass && !folder) {
                ++FPassed;
                FPassedBytes += FUnZip.EntrySize();
            }
            if (FOptions.Verbose && FOptions.Action == TCliAction::Extract &&
                (!folder || FOptions.CreateStoredDirs)) {
                FBar.Clear();
                const bool inside = Name.rfind(destPrefix, 0) == 0;
                std::printf("%12s: %s\n", folder ? "creating" : Verb(FUnZip.EntryMethod()),
                            Shown(inside ? Name.substr(destPrefix.size()) : Name).c_str());
            }
            if (!Pass) FFailed.insert(Name);
            // A cancelled entry failed by the cancel, which has its report; so did one
            // whose bytes standard output could not take.
            if (!Pass && Name != FLastReported && !Sender.GetCancel() && FStdoutError == 0)
                Error(Name, "", E_CRCERR);
        };
        FUnZip.OnError = [this, ask](TZipCommon& Sender, const std::string& Name,
                                const std::string& Ext, const std::string&, int32_t Code) {
            std::string file = Name.empty() ? FOptions.Archive : Name;
            // Standard output that failed has one report of its own, after the run.
            if (FStdoutError != 0 && (Code == E_USERCANCELED || Code == E_WRITEERR)) return;
            if (Code == E_USERCANCELED && !FMissingPart.empty() && Name == FMissingPart) return;
            // A damaged archive's report for the run says what the walk found instead,
            // and so does a notice of damage read around.
            const bool finding =
                (Code == E_BADHEADER && Sender.ReportSubject() == rsRun) || Code == E_RECOVERED;
            // Any other report that names the archive carries the file it concerns, if
            // any, as its extended message (an output file that could not be written).
            if (Name == FUnZip.ArchiveFile() && !Ext.empty() && Code != E_REQUIREDEVENT &&
                Code != E_USERCANCELED && !finding)
                file = Ext;
            if (Sender.ReportSubject() == rsArchive) FArchiveFailed = true;
            // A password the user typed that does not open the entry, or none: the
            // entry's fate shows in PasswordSkips once the search is over.
            if (Code == E_INVALIDPASSWORD) {
                // Off a terminal with no -p, nobody could give one.
                const bool none = !ask && FOptions.Passwords.empty();
                Say(file,
                    none        ? "skipped, no password given (-p gives one)"
                    : FDeclined ? "skipped, no password given"
                                : MessageText(Code),
                    Code);
                return;
            }
            // The entry failed (a notice, a cancel or a second name for one file leave
            // its verdict to the rest of the run).
            if (Sender.ReportSubject() == rsEntry && !IsNotice(Code) && Code != E_USERCANCELED &&
                Code != E_SAMEFILE)
                FFailed.insert(file);
            // A notice (a changed name, a file kept after its entry failed) tells what
            // was done: neither the exit status nor the report of a later failure of
            // the entry is affected.
            if (IsNotice(Code))
                Print(file, Ext, Code, finding);
            else
                Error(file, Ext, Code, finding);
        };
        // The parts of a split set lie beside the archive under their usual names; a
        // part that is not there is asked for on a terminal, and is missing otherwise
        // (the component reports it, and the entries that need it fail).
        FUnZip.OnNextVolume = [this, ask](TZipCommon&, std::string& Name, const std::string& Number,
                                          bool Exists, bool& Cancel) {
            if (Exists) return;
            if (ask) {
                const TQuestion question(*this);
                std::fprintf(stderr, "part %s (%s) not found; its path (empty to give up): ",
                             Number.c_str(), Shown(Name).c_str());
                std::fflush(stderr);
                std::string path;
                if (std::getline(std::cin, path) && !path.empty()) {
                    Name = SlashToBackslash(path);
                    return;
                }
            }
            // The run's cancel that follows is this report's, not the user's.
            Say(Name, "part of the split set not found", E_FILENOTFOUND);
            FMissingPart = Name;
            FEntryFailed = true;
            Cancel = true;
        };
        // A set spanned over removable disks: the user swaps the disks in the drive.
        auto askDisk = [this, ask](const std::string& Which, bool& Cancel) {
            Cancel = true;
            if (!ask) return;
            const TQuestion question(*this);
            std::fprintf(stderr, "insert the %s disk of %s and press Enter (q to give up): ",
                         Which.c_str(), Shown(FOptions.Archive).c_str());
            std::fflush(stderr);
            std::string answer;
            Cancel = !std::getline(std::cin, answer) || answer == "q";
        };
        FUnZip.OnGetZipLastDisk = [askDisk](TZipCommon&, bool& Cancel) { askDisk("last", Cancel); };
        FUnZip.OnGetZipFirstDisk = [askDisk](TZipCommon&, bool& Cancel) { askDisk("first", Cancel); };
        FUnZip.OnGetZipNextDisk = [askDisk](TZipCommon&, const std::string& Number, bool& Cancel) {
            askDisk("number " + Number, Cancel);
        };
        // Off a terminal the search declines, so the user reads that the password was
        // missing or wrong, and the run's later encrypted entries are skipped quietly.
        // On a terminal each entry gets its own search: a wrong password is said and
        // asked again (PasswordAttempts times), an empty answer skips that entry only.
        FUnZip.PasswordPerEntry(ask);
        FUnZip.OnGetPassword = [this, ask](TZipCommon& Sender, const std::string& Name,
                                           std::string& Password, bool& TryAgain) {
            FDeclined = false;
            TryAgain = false;
            if (!ask) return;
            const TQuestion question(*this);
            bool answered = false;
            {
                // Echo goes off before the question shows, so that nothing typed once
                // it is there can be seen.
                const qvrOS::TEchoOffGuard hidden;
                std::fprintf(stderr, "password for %s (empty to skip): ", Shown(Name).c_str());
                std::fflush(stderr);
                // A signal cuts the wait short, and the terminal's mode is restored as
                // the guard goes.
                answered = !Interrupted() && std::getline(std::cin, Password);
            }
            // The Enter that ended the answer was not shown either.
            std::fputc('\n', stderr);
            if (CancelIfInterrupted(Sender)) {
                Password.clear();
                return;
            }
            FDeclined = !answered || Password.empty();
            TryAgain = !FDeclined;
        };
    }

    TOverwriteMode Ask(const std::string& Name, std::string& NewName)
    {
        if (FAll) return omOverwrite;
        if (FNone) return omSkip;
        const TQuestion question(*this);
        switch (AskOverwrite(Name)) {
        case 'y': return omOverwrite;
        case 'A': FAll = true; return omOverwrite;
        case 'N': FNone = true; return omSkip;
        case 'r': {
            std::fprintf(stderr, "new name: ");
            std::fflush(stderr);
            std::string n;
            if (!std::getline(std::cin, n) || n.empty()) return omSkip;
            NewName = ExtractFilePath(Name) + n;
            return omOverwrite;
        }
        default: return omSkip;
        }
    }

    void Error(const std::string& File, const std::string& Ext, int32_t Code, bool Finding = false)
    {
        // A second name for one file says nothing of how the entry's bytes fared: its
        // failed verdict, if any, still gets its line.
        if (Code != E_SAMEFILE) FLastReported = File;
        if (Code != E_USERCANCELED) FEntryFailed = true;
        Print(File, Ext, Code, Finding);
    }

    // Finding: Ext says what was found, after the code's text.
    void Print(const std::string& File, const std::string& Ext, int32_t Code, bool Finding = false)
    {
        std::string text = MessageText(Code);
        if (!Ext.empty() && Code == E_REQUIREDEVENT) text += " (" + Ext + ")";
        // Damage of an entry, or bytes that fail their check, say what was found wrong
        // (an authentication code that does not match), as a finding for the run does.
        const bool found = Finding || ((Code == E_BADHEADER || Code == E_CRCERR) && Ext != File);
        if (!Ext.empty() && found) text += ": " + Ext;
        if (Code == E_RESERVEDNAME) text += " (stored as " + Shown(Ext) + ")";
        if (Code == E_SAMEFILE) text += ": " + Shown(Ext);
        // A file the system refused to open, write or close: its reason follows the code.
        std::string reason;
        const bool system = Code == E_OPENERR || Code == E_WRITEERR || Code == E_CLOSEERR;
        if (system && !Ext.empty() && Ext != File) reason = ": " + Shown(Ext);
        // A method the build cannot decode is named; a codec library says what it
        // refused.
        const bool decoding = Code == E_UNSUPPORTEDMETHOD || Code == E_BADBLOCK;
        if (decoding && !Ext.empty() && Ext != File) reason = ": " + Ext;
        Say(File, text, Code, reason);
    }

    // One report line: "unspool: FILE: TEXT (CODE)", then what follows the code (the
    // system's reason).
    void Say(const std::string& File, const std::string& Text, int32_t Code,
             const std::string& After = "")
    {
        FBar.Clear();
        std::string shown = File;
        if (!FHidePrefix.empty() && shown.rfind(FHidePrefix, 0) == 0)
            shown.erase(0, FHidePrefix.size());
        std::fprintf(stderr, "unspool: %s: %s (%d)%s\n", Shown(shown).c_str(),
                     Escaped(Text, false).c_str(), Code, After.c_str());
    }

    const TCliOptions& FOptions;
    TProgressBar FBar;
    TUnZip FUnZip;
    TMaskSelection FSelection;
    std::string FLastReported;
    // Files written whole (or tested) and their bytes; the files of failed entries; the
    // existing files kept; the time spent on questions.
    int32_t FPassed = 0;
    int64_t FPassedBytes = 0;
    std::set<std::string> FFailed;
    int64_t FKept = 0;
    uint32_t FQuestionMs = 0;
    // The system's error of the first failed write to standard output; 0 while none.
    int FStdoutError = 0;
    // The part of a split set found missing off a terminal, reported as such.
    std::string FMissingPart;
    std::string FHidePrefix;
    bool FEntryFailed = false;
    bool FArchiveFailed = false;
    bool FAll = false;
    bool FNone = false;
    // The user gave no answer to the last password question.
    bool FDeclined = false;
};

// Standard output flushed and closed: when anything written to it was lost (a full
// disk, /dev/full, a closed pipe), the command says so with the system's reason and
// exits with FailStatus, unless the run said it already. Returns the exit status.
int ClosedStdout(int Status, int FailStatus, bool Reported)
{
    errno = 0;
    bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    int error = errno;
    if (std::fclose(stdout) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    if (!failed) return Status;
    if (!Reported)
        std::fprintf(stderr, "unspool: standard output: %s (%d)\n",
                     std::strerror(error != 0 ? error : EIO), E_WRITEERR);
    return std::max(Status, FailStatus);
}

} // namespace

int UnspoolMain(const std::vector<std::string>& Args)
{
    std::string error;
    auto options = ParseCommandLine(Args, error);
    if (!options) {
        std::fprintf(stderr, "unspool: %s\nTry 'unspool --help' for the options.\n",
                     error.c_str());
        return ExitUsage;
    }
    if (options->Help || options->Version) {
        std::fputs(options->Help ? UsageText : VersionText, stdout);
        return ClosedStdout(ExitOk, ExitEntryFailed, false);
    }
    // What the command's own handlers throw (memory running out, say) reaches here past
    // the run, which withdrew the files it had begun: the command says so and fails.
    // A signal is turned into the run's cancel; the command then ends by it.
    CatchInterrupts();
    try {
        int status = ExitOk;
        bool listing = false, reported = false;
        {
            TCliRun run(*options);
            status = run.Run();
            listing = run.Listing();
            reported = run.StdoutReported();
        }
        EndIfInterrupted();
        return ClosedStdout(status, listing ? ExitArchiveFailed : ExitEntryFailed, reported);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "unspool: %s\n", e.what());
        return ExitArchiveFailed;
    }
}
