#include "qvrMethods.h"

#include <array>

namespace {

constexpr std::array<TMethodRow, 9> MethodTable{{
    {0, "Stored", CopyStored},
    {1, "Shrunk", Unshrink},
    {2, "Reduced1", Unreduce},
    {3, "Reduced2", Unreduce},
    {4, "Reduced3", Unreduce},
    {5, "Reduced4", Unreduce},
    {6, "Imploded", Explode},
    {8, "Deflated", InflateDeflated},
    {9, "Deflate64", InflateDeflate64},
}};

} // namespace

const TMethodRow* FindMethod(uint32_t Method)
{
    for (const TMethodRow& row : MethodTable)
        if (row.Method == Method) return &row;
    return nullptr;
}
