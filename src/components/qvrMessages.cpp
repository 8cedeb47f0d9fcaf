#include "qvrMessages.h"

#include <iterator>

namespace {

struct TMessage {
    int32_t Code;
    const char* Text;
};

constexpr TMessage Err_Msgs[] = {
    {E_BADHEADER, "Bad file header"},
    {E_BADBLOCK, "Bad block"},
    {E_WRITEERR, "Error writing to file"},
    {E_CLOSEERR, "Error closing file"},
    {E_CRCERR, "File fails CRC check"},
    {E_DISKFULL, "Disk full"},
    {E_NOTACCESSIBLE, "is not accessible"},
    {E_WRITEPROTECTED, "disk is write protected"},
    {E_FILENOTFOUND, "File not found"},
    {E_OPENERR, "Error opening file"},
    {E_SAMEFILE, "Same file as an earlier entry of this archive"},
    {E_REQUIREDEVENT, "Required event not assigned"},
    {E_AMBIGUOUSTREE, "Ambiguous Shannon-Fano decode tree encountered"},
    {E_STACKOVERFLOW, "Stack overflow"},
    {E_UNSUPPORTEDMETHOD, "Unsupported compression method"},
    {E_USERCANCELED, "User canceled"},
    {E_INVALIDPASSWORD, "Invalid password"},
    {E_BUSY, "A run of this component is under way"},
    {E_HANDLERFAILED, "An event handler failed"},
    {E_RESERVEDNAME, "Reserved file name changed"},
    {E_KEPTEXISTING, "Existing file kept"},
    {E_RECOVERED, "Archive read around damage"},
    {E_CUTSHORT, "Cut short, the file is incomplete"},
};

} // namespace

const char* MessageTextOf(int32_t Code)
{
    for (const TMessage& m : Err_Msgs)
        if (m.Code == Code) return m.Text;
    return nullptr;
}

std::string MessageText(int32_t Code)
{
    const char* text = MessageTextOf(Code);
    return text ? text : std::string();
}
