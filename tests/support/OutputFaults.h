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

// While alive, the regular files the process writes hold Bytes in all, as on a volume
// of that size: a write past it takes what fits and then fails with ENOSPC, as the
// system's does, and a file removed gives its bytes back. Reset empties the volume
// again (files written before no longer count), for the next run of a test.
class TFullDisk {
public:
    explicit TFullDisk(int64_t Bytes);
    ~TFullDisk();
    TFullDisk(const TFullDisk&) = delete;
    TFullDisk& operator=(const TFullDisk&) = delete;
    void Reset();
};

} // namespace test
