#include "qvrMethods.h"

#include <array>

namespace {

constexpr std::array<TMethodRow, 3> MethodTable{{
    {0, "Stored", CopyStored},
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
