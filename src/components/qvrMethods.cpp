#include "qvrMethods.h"

#include <array>

namespace {

const TMethodRow MethodTable[] = {
    {0, "Stored", CopyStored, 2000, true},
    {1, "Shrunk", Unshrink, 100, false},
    {2, "Reduced1", Unreduce, 100, false},
    {3, "Reduced2", Unreduce, 100, false},
    {4, "Reduced3", Unreduce, 100, false},
    {5, "Reduced4", Unreduce, 100, false},
    {6, "Imploded", Explode, 100, false},
    {8, "Deflated", InflateDeflated, 400, true},
    {9, "Deflate64", InflateDeflate64, 300, true},
#ifdef UNSPOOL_HAVE_BZIP2
    {12, "bzip2", DecodeBzip2, 25, true},
#endif
#ifdef UNSPOOL_HAVE_LZMA
    {14, "LZMA", DecodeLzma, 60, true},
    {95, "xz", DecodeXz, 60, true},
#endif
#ifdef UNSPOOL_HAVE_ZSTD
    {93, "zstd", DecodeZstd, 800, true},
#endif
};

struct TMethodName {
    uint16_t Method;
    const char* Name;
};

// The methods the ZIP format names (APPNOTE 4.4.5) that may have no row: a build without
// a codec library still names what it cannot decode.
constexpr std::array<TMethodName, 15> MethodNames{{
    {7, "Tokenized"},
    {10, "PKWARE DCL Implode"},
    {12, "bzip2"},
    {14, "LZMA"},
    {16, "IBM z/OS CMPSC"},
    {18, "IBM TERSE"},
    {19, "IBM LZ77 z/Architecture"},
    {20, "zstd (old number)"},
    {93, "zstd"},
    {94, "MP3"},
    {95, "xz"},
    {96, "JPEG"},
    {97, "WavPack"},
    {98, "PPMd"},
    {99, "AES"},
}};

} // namespace

const TMethodRow* FindMethod(uint32_t Method)
{
    for (const TMethodRow& row : MethodTable)
        if (row.Method == Method) return &row;
    return nullptr;
}

const char* MethodName(uint32_t Method)
{
    if (const TMethodRow* row = FindMethod(Method)) return row->Name;
    for (const TMethodName& n : MethodNames)
        if (n.Method == Method) return n.Name;
    return nullptr;
}

std::string DescribeMethod(uint32_t Method)
{
    const char* name = MethodName(Method);
    const std::string number = std::to_string(Method);
    return name ? std::string(name) + " (" + number + ")" : "method " + number;
}
