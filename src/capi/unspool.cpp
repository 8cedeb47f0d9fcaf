// The C interface over TUnZip (unspool.h).
//
// A handle owns one component, the listing taken when it was opened (with the names
// turned to '/' separated strings that live as long as the handle) and the first failure
// of its last call. The component reports failures through OnError; the handler keeps
// the first one that is not a notice, as later reports of one call mostly follow from
// it. Each entry point clears that record, runs the call under one exception boundary
// and turns whatever escapes it into a code: nothing C++ crosses into the caller.
#include "unspool.h"

#include "qvrUnZip.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

struct unspool_archive {
    TUnZip Zip;
    std::vector<TEntryListing> Entries;
    std::vector<std::string> Names;
    int Error = 0;
    TReportSubject Subject = rsEntry;
    std::string ErrorText;
    const std::string* Reading = nullptr; // the '/' separated name a read is decoding

    unspool_archive()
    {
        Zip.OnError = [this](TZipCommon& Sender, const std::string& File, const std::string& Ext,
                             const std::string&, int32_t Code) {
            if (IsNotice(Code) || Error != 0) return;
            Fail(Code, MessageText(Code));
            Subject = Sender.ReportSubject();
            // A read makes no file: the entry's name says which one failed.
            const std::string& which = Reading ? *Reading : File;
            if (!which.empty()) ErrorText += " (" + which + ")";
            if (!Ext.empty()) ErrorText += ": " + Ext;
        };
        // Nobody is there to ask: a password the list lacks fails the entry as a wrong
        // one does, and a file that exists is kept when the questions are on (the way
        // unspool_extract keeps existing files).
        Zip.OnGetPassword = [](TZipCommon&, const std::string&, std::string&, bool& TryAgain) {
            TryAgain = false;
        };
        Zip.OnFileExists = [](TZipCommon&, const std::string&, std::string&, TOverwriteMode& Mode) {
            Mode = omSkip;
        };
    }
    void Clear()
    {
        Error = 0;
        ErrorText.clear();
        Reading = nullptr;
    }
    int Fail(int Code, const std::string& Text)
    {
        Error = Code;
        ErrorText = Text;
        return Code;
    }
    // The entry listed under Name ('/' separated), or null.
    const TEntryListing* Find(const char* Name) const
    {
        auto it = std::find(Names.begin(), Names.end(), Name);
        return it == Names.end() ? nullptr : &Entries[static_cast<size_t>(it - Names.begin())];
    }
};

namespace {

// Runs Call with A's failure record cleared; an exception becomes a code of its own.
// unspool_error_text is declared in unspool.h and defined below.
template <typename TCall> int Guarded(unspool_archive* A, TCall&& Call)
{
    if (!A) return UNSPOOL_E_ARGUMENT;
    A->Clear();
    try {
        const int code = Call();
        // A refusal of the interface's own leaves its text too, as the component's do.
        if (code < 0 && A->Error == 0) A->Fail(code, unspool_error_text(code));
        return code;
    } catch (const std::bad_alloc&) {
        return A->Fail(UNSPOOL_E_NO_MEMORY, unspool_error_text(UNSPOOL_E_NO_MEMORY));
    } catch (const std::exception& e) {
        return A->Fail(UNSPOOL_E_INTERNAL, e.what());
    } catch (...) {
        return A->Fail(UNSPOOL_E_INTERNAL, unspool_error_text(UNSPOOL_E_INTERNAL));
    }
}

// The archive's directory, read once when it is opened; an archive that could not be
// read at all fails the open, a damaged one opens with what could be listed.
unspool_archive* Opened(std::unique_ptr<unspool_archive> A, int* Error)
{
    int code = Guarded(A.get(), [&]() -> int {
        A->Entries = A->Zip.Entries();
        for (const TEntryListing& e : A->Entries) {
            std::string name = e.Name;
            std::replace(name.begin(), name.end(), '\\', '/');
            A->Names.push_back(std::move(name));
        }
        return A->Subject == rsArchive ? A->Error : 0;
    });
    if (Error) *Error = code;
    return code == 0 ? A.release() : nullptr;
}

// Reads one entry into Block under A's checks: a name not listed is refused before the
// run, a run that reports nothing and still fails is taken as an internal failure.
template <typename TBlock> int ReadListed(unspool_archive* A, const char* Name, TBlock&& Block)
{
    if (!Name) return UNSPOOL_E_ARGUMENT;
    const TEntryListing* e = A->Find(Name);
    if (!e || e->IsDirectory)
        return A->Fail(UNSPOOL_E_NOT_FOUND, unspool_error_text(UNSPOOL_E_NOT_FOUND));
    A->Reading = &A->Names[static_cast<size_t>(e - A->Entries.data())];
    const bool ok = A->Zip.ReadEntry(e->Name, Block);
    A->Reading = nullptr;
    if (ok) return 0;
    return A->Error ? A->Error : A->Fail(UNSPOOL_E_INTERNAL, "the entry could not be read");
}

} // namespace

extern "C" {

unspool_archive* unspool_open(const char* path, int* error)
{
    if (error) *error = UNSPOOL_E_ARGUMENT;
    if (!path) return nullptr;
    try {
        auto a = std::make_unique<unspool_archive>();
        a->Zip.ArchiveFile(path);
        return Opened(std::move(a), error);
    } catch (...) {
        if (error) *error = UNSPOOL_E_NO_MEMORY;
        return nullptr;
    }
}

unspool_archive* unspool_open_memory(const void* data, size_t size, int* error)
{
    if (error) *error = UNSPOOL_E_ARGUMENT;
    if (!data && size != 0) return nullptr;
    try {
        const auto* first = static_cast<const uint8_t*>(data);
        auto bytes = std::make_shared<const std::vector<uint8_t>>(first, first + size);
        auto a = std::make_unique<unspool_archive>();
        a->Zip.ArchiveSource("memory.zip",
                             [bytes] { return std::make_unique<TMemoryStream32>(bytes); });
        return Opened(std::move(a), error);
    } catch (...) {
        if (error) *error = UNSPOOL_E_NO_MEMORY;
        return nullptr;
    }
}

void unspool_close(unspool_archive* archive)
{
    delete archive;
}

int unspool_set_passwords(unspool_archive* archive, const char* const* passwords, size_t count)
{
    return Guarded(archive, [&]() -> int {
        if (!passwords && count != 0) return UNSPOOL_E_ARGUMENT;
        TStringList list;
        for (size_t i = 0; i < count; ++i) {
            if (!passwords[i]) return UNSPOOL_E_ARGUMENT;
            list.emplace_back(passwords[i]);
        }
        archive->Zip.Passwords(list);
        return 0;
    });
}

size_t unspool_entry_count(unspool_archive* archive)
{
    return archive ? archive->Entries.size() : 0;
}

int unspool_entry(unspool_archive* archive, size_t index, unspool_entry_info* out)
{
    return Guarded(archive, [&]() -> int {
        if (!out) return UNSPOOL_E_ARGUMENT;
        if (index >= archive->Entries.size()) return UNSPOOL_E_RANGE;
        const TEntryListing& e = archive->Entries[index];
        out->name = archive->Names[index].c_str();
        out->size = static_cast<uint64_t>(e.Size);
        out->packed = static_cast<uint64_t>(e.Packed);
        out->method = e.Method;
        out->crc32 = e.Crc;
        out->dos_time = e.DosDateTime;
        out->unix_mode = e.Mode;
        out->is_dir = e.IsDirectory ? 1 : 0;
        out->is_encrypted = e.Encrypted ? 1 : 0;
        out->mtime_utc = e.Modified.Set ? e.Modified.Seconds : -1;
        return 0;
    });
}

int unspool_read(unspool_archive* archive, const char* name, void* buffer, size_t capacity,
                 size_t* written)
{
    return Guarded(archive, [&]() -> int {
        if (!written || (!buffer && capacity != 0)) return UNSPOOL_E_ARGUMENT;
        *written = 0;
        // The whole entry is decoded even past the buffer, so that a caller told it is
        // too small learns the size its checked bytes need, not the size the records claim.
        // The count is kept in 64 bits, which no entry passes, so that it cannot wrap
        // where size_t is 32 bits wide; a size past size_t is told as SIZE_MAX.
        uint64_t total = 0;
        auto* out = static_cast<uint8_t*>(buffer);
        int code = ReadListed(archive, name, [&](const uint8_t* b, int32_t n) {
            const auto count = static_cast<uint64_t>(n);
            if (total <= capacity && count <= capacity - total)
                std::memcpy(out + total, b, static_cast<size_t>(count));
            total += count;
        });
        if (code != 0) return code;
        *written = total > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(total);
        if (total > capacity)
            return archive->Fail(UNSPOOL_E_BUFFER_TOO_SMALL,
                                 unspool_error_text(UNSPOOL_E_BUFFER_TOO_SMALL));
        return 0;
    });
}

int unspool_read_cb(unspool_archive* archive, const char* name,
                    int (*cb)(void* user, const void* data, size_t n), void* user)
{
    return Guarded(archive, [&]() -> int {
        if (!cb) return UNSPOOL_E_ARGUMENT;
        // A callback that asks to stop cancels the run, which ends it at the next block
        // without a file or a report of its own beyond the cancel.
        bool stopped = false;
        int code = ReadListed(archive, name, [&](const uint8_t* b, int32_t n) {
            if (stopped) return;
            if (cb(user, b, static_cast<size_t>(n)) != 0) {
                stopped = true;
                archive->Zip.SetCancel(true);
            }
        });
        if (stopped)
            return archive->Fail(UNSPOOL_E_ABORTED, unspool_error_text(UNSPOOL_E_ABORTED));
        return code;
    });
}

int unspool_extract(unspool_archive* archive, const char* dest_dir, unsigned flags)
{
    return Guarded(archive, [&]() -> int {
        const unsigned both = UNSPOOL_EXTRACT_OVERWRITE | UNSPOOL_EXTRACT_NEVER_OVERWRITE;
        if (!dest_dir || !*dest_dir || (flags & both) == both ||
            (flags & ~(both | UNSPOOL_EXTRACT_NO_FOLDERS)) != 0)
            return UNSPOOL_E_ARGUMENT;
        TUnZip& zip = archive->Zip;
        zip.ExtractDir(dest_dir);
        zip.FileSpec(TStringList{});
        // Files are written under omOverwrite only; keeping an existing one is the answer
        // OnFileExists gives when the question is asked.
        zip.OverwriteMode(omOverwrite);
        zip.ConfirmOverwrites((flags & UNSPOOL_EXTRACT_OVERWRITE) == 0);
        zip.UseStoredDirs((flags & UNSPOOL_EXTRACT_NO_FOLDERS) == 0);
        zip.ExtractFiles();
        return archive->Error;
    });
}

int unspool_last_error(unspool_archive* archive)
{
    return archive ? archive->Error : UNSPOOL_E_ARGUMENT;
}

const char* unspool_last_error_text(unspool_archive* archive)
{
    return archive ? archive->ErrorText.c_str() : "";
}

const char* unspool_error_text(int code)
{
    switch (code) {
    case UNSPOOL_OK: return "";
    case UNSPOOL_E_ARGUMENT: return "invalid argument";
    case UNSPOOL_E_NOT_FOUND: return "no such file entry in the archive";
    case UNSPOOL_E_BUFFER_TOO_SMALL: return "buffer too small for the entry";
    case UNSPOOL_E_RANGE: return "entry index out of range";
    case UNSPOOL_E_NO_MEMORY: return "out of memory";
    case UNSPOOL_E_ABORTED: return "read stopped by the callback";
    case UNSPOOL_E_INTERNAL: return "internal error";
    default: break;
    }
    const char* text = MessageTextOf(code);
    return text ? text : "unknown error code";
}

} // extern "C"
