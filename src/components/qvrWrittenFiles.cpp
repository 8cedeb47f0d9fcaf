#include "qvrWrittenFiles.h"

#include "qvrPlatform.h"

int32_t TWrittenFiles::Find(const std::string& Path) const
{
    if (FFiles.empty()) return -1;
    const auto it = FFiles.find(qvrOS::FileNameKey(Path));
    return it == FFiles.end() ? -1 : it->second;
}

void TWrittenFiles::Add(const std::string& Path, int32_t Entry)
{
    FFiles.emplace(qvrOS::FileNameKey(Path), Entry);
}

void TWrittenFiles::Clear()
{
    std::unordered_map<std::string, int32_t>().swap(FFiles);
}
