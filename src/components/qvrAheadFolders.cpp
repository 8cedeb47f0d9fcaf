#include "qvrAheadFolders.h"

#include <algorithm>
#include <vector>

namespace {

// Calls Step with each level of Folder ("a\b\": "a\", then "a\b\") and the position
// its name starts at.
template <class F> void EachLevel(std::string_view Folder, F Step)
{
    for (size_t at = 0; at < Folder.size();) {
        const size_t end = Folder.find('\\', at);
        if (end == std::string_view::npos) return;
        Step(Folder.substr(0, end + 1), at);
        at = end + 1;
    }
}

} // namespace

bool TAheadFolders::Enter(std::string_view Folder, size_t MadeFrom)
{
    if (MadeFrom == std::string_view::npos && FWaiting.empty()) return false;
    bool counted = false;
    EachLevel(Folder, [&](std::string_view Level, size_t At) {
        auto it = FWaiting.find(Level);
        if (it == FWaiting.end()) {
            if (MadeFrom == std::string_view::npos || At < MadeFrom) return;
            it = FWaiting.emplace(std::string(Level), 0).first;
        }
        ++it->second;
        counted = true;
    });
    return counted;
}

void TAheadFolders::Settle(std::string_view Folder, bool Kept, const TRemove& Remove)
{
    if (Kept) {
        Keep(Folder);
        return;
    }
    std::vector<std::string_view> levels;
    EachLevel(Folder, [&](std::string_view Level, size_t) { levels.push_back(Level); });
    // A level that stays holds the ones above it: they are only counted down.
    bool removing = true;
    for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
        const auto it = FWaiting.find(*level);
        if (it == FWaiting.end()) {
            removing = false;
            continue;
        }
        if (--it->second > 0) {
            removing = false;
            continue;
        }
        FWaiting.erase(it);
        if (removing) removing = Remove(*level);
    }
}

void TAheadFolders::Keep(std::string_view Folder)
{
    if (FWaiting.empty()) return;
    EachLevel(Folder, [&](std::string_view Level, size_t) {
        if (const auto it = FWaiting.find(Level); it != FWaiting.end()) FWaiting.erase(it);
    });
}

void TAheadFolders::Sweep(const TRemove& Remove)
{
    std::vector<std::string> levels;
    levels.reserve(FWaiting.size());
    for (const auto& [level, files] : FWaiting) levels.push_back(level);
    FWaiting.clear();
    // A level is longer than every level above it.
    std::sort(levels.begin(), levels.end(),
              [](const std::string& A, const std::string& B) { return A.size() > B.size(); });
    for (const std::string& level : levels) Remove(level);
}
