// Folders made for files begun ahead of their turn. A file given to a worker is opened
// before the host has seen its begin step, and opening it may make its folders; a host
// that then declines the file would find folders that a run on one thread never makes.
// Each level made that way ("a\", "a\b\", relative to the destination) is counted here
// against the files begun ahead in it and not settled yet. A level stays for good once
// a file in it is begun in its turn or an entry needs it in its own turn; one that is
// left with no file to settle is removed if it is empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

class TAheadFolders {
public:
    // Removes one level if it is empty; false when it stays.
    using TRemove = std::function<bool(std::string_view Level)>;

    // A file begun ahead of its turn in Folder, whose opening made Folder's levels from
    // position MadeFrom on (npos: none). False when no level of Folder was made ahead:
    // the file has nothing to settle.
    bool Enter(std::string_view Folder, size_t MadeFrom);
    // The file in Folder has had its turn. Kept: it was begun, and its folders stay.
    // Otherwise each level made ahead that no other file waits in is handed to Remove,
    // deepest first, until one stays.
    void Settle(std::string_view Folder, bool Kept, const TRemove& Remove);
    // Folder is needed in its own turn: its levels stay.
    void Keep(std::string_view Folder);
    // The levels still counted once no file is left to settle (the run was cut short
    // with files in flight), deepest first; then nothing is counted.
    void Sweep(const TRemove& Remove);
    bool Empty() const { return FWaiting.empty(); }
    void Clear() { FWaiting.clear(); }

private:
    struct THash {
        using is_transparent = void;
        size_t operator()(std::string_view S) const { return std::hash<std::string_view>{}(S); }
    };
    // Each level made ahead, with the files begun ahead in it and not settled yet.
    std::unordered_map<std::string, int32_t, THash, std::equal_to<>> FWaiting;
};
