// The files one archive's run has written, by the path each entry resolved to: two
// entries whose names differ (case, or on Windows trailing dots and spaces) may still
// land on one file, and the second must not pass for a file of its own.
#pragma once

#include "qvrEntryTable.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

class TWrittenFiles {
public:
    // The entry (its index in the run's table) that wrote Path earlier in the run, or -1.
    // Paths are compared as the file system compares them (qvrOS::FileNameKey).
    int32_t Find(const std::string& Path) const;
    // Records that Entry writes Path; an earlier writer of the same file stays recorded.
    void Add(const std::string& Path, int32_t Entry);
    // Forgets every file, and the memory that held them.
    void Clear();
    // Makes room for Files files at once, so that the set is not rebuilt as it grows.
    void Reserve(size_t Files) { FFiles.reserve(Files); }

private:
    // One key and index per file written: a hash set keeps the check constant-time for
    // runs of many small files. The keys' bytes lie one after the other in FKeys, so
    // that a file written costs no memory of its own beyond its slot.
    std::unordered_map<std::string_view, int32_t> FFiles;
    TNameStore FKeys;
};
