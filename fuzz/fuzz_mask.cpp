// Mask matching on arbitrary bytes. The input is split at its first newline into a mask and
// a name (no newline: the first half is the mask). Besides finding crashes and hangs, it
// checks two properties that hold for every mask: a text matches itself as a mask, and "*"
// followed by any mask matches whatever that mask matches.
#include "qvrMask.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    std::size_t cut = in.find('\n');
    std::string_view mask, name;
    if (cut == std::string_view::npos) {
        cut = size / 2;
        mask = in.substr(0, cut);
        name = in.substr(cut);
    } else {
        mask = in.substr(0, cut);
        name = in.substr(cut + 1);
    }

    const TInternalMask compiled(mask);
    const bool matched = compiled.Matches(name);

    const std::string_view nameText = name.substr(0, name.find('\0'));
    if (!MatchesMask(nameText, nameText))
        __builtin_trap();
    if (matched && !MatchesMask(name, "*" + std::string(mask)))
        __builtin_trap();

    (void)ExtractPathPart(name);
    std::vector<std::string> fileSpec{std::string(mask)};
    const std::vector<std::string> excl{std::string(name.substr(0, name.size() / 2))};
    (void)MatchFileSpecList(name, fileSpec, excl, true);
    fileSpec.assign(1, std::string(mask));
    (void)MatchFileSpecList(name, fileSpec, {}, false);
    return 0;
}
