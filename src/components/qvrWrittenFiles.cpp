#include "qvrWrittenFiles.h"

#include "qvrPlatform.h"

int32_t TWrittenFiles::Find(const std::string& Path) const
{
    if (FFiles.empty()) return -1;
    // Each entry is looked up once: where the path is its own key, without a copy.
    const auto it = qvrOS::FileNamesExact() ? FFiles.find(Path)
                                            : FFiles.find(qvrOS::FileNameKey(Path));
    return it == FFiles.end() ? -1 : it->second;
}

void TWrittenFiles::Add(const std::string& Path, int32_t Entry)
{
    const std::string copy = qvrOS::FileNamesExact() ? std::string() : qvrOS::FileNameKey(Path);
    const std::string_view key = qvrOS::FileNamesExact() ? std::string_view(Path) : copy;
    // A second writer of a file (rare) leaves its key's bytes unused in FKeys.
    const uint32_t ref = FKeys.Add(key);
    FFiles.emplace(FKeys.Get(ref, static_cast<uint32_t>(key.size())), Entry);
}

void TWrittenFiles::Clear()
{
    std::unordered_map<std::string_view, int32_t>().swap(FFiles);
    FKeys.Clear();
}
