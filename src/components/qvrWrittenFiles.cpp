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
    FFiles.emplace(qvrOS::FileNamesExact() ? Path : qvrOS::FileNameKey(Path), Entry);
}

void TWrittenFiles::Clear()
{
    std::unordered_map<std::string, int32_t>().swap(FFiles);
}
