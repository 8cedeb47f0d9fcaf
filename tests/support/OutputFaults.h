// Faults an output file can meet that no archive brings: another process swapping a
// name for a link at the worst moment, and a volume that fills up; and a count of the
// system calls an extraction makes on the file system.
#pragma once

#include "TestSupport.h"

namespace test {

// While alive, the first fchmod or fchmodat the process makes (the moment a mode is
// set) first replaces Name with a symbolic link to Target, as a process racing the
// extraction would. Calls of other threads and after the first go through untouched.
class TLinkSwapAtChmod {
public:
    TLinkSwapAtChmod(const fs::path& Name, const fs::path& Target);
    ~TLinkSwapAtChmod();
    TLinkSwapAtChmod(const TLinkSwapAtChmod&) = delete;
    TLinkSwapAtChmod& operator=(const TLinkSwapAtChmod&) = delete;
    // Whether the swap was made.
    bool Swapped() const;
};

// While alive, counts the calls the calling thread makes to openat (and how many of
// them found no such name), mkdirat and pread.
class TFileCalls {
public:
    TFileCalls();
    ~TFileCalls();
    TFileCalls(const TFileCalls&) = delete;
    TFileCalls& operator=(const TFileCalls&) = delete;
    int Opens() const;
    int OpensMissing() const;
    int Mkdirs() const;
    int Preads() const;
};

// A tmpfs of Bytes mounted at Dir for the test's duration; Ready() is false where the
// test may not mount (not root, no mount namespace rights), and the test then skips.
class TSmallVolume {
public:
    TSmallVolume(const fs::path& Dir, size_t Bytes);
    ~TSmallVolume();
    TSmallVolume(const TSmallVolume&) = delete;
    TSmallVolume& operator=(const TSmallVolume&) = delete;
    bool Ready() const { return FMounted; }

private:
    fs::path FDir;
    bool FMounted = false;
};

} // namespace test
