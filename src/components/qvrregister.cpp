#include "qvrregister.h"

#include "qvrMessages.h"
#include "qvrPlatform.h"

TRegisterQuiver::TRegisterQuiver() = default;
TRegisterQuiver::~TRegisterQuiver() = default;

void TRegisterQuiver::ZipCmntBufSize(int32_t V)
{
    FZipCmntBufSize = V > 32767 ? 32767 : V < 2000 ? 2000 : V;
}

void TRegisterQuiver::SetArchiveFile(const std::string& V)
{
    if (V.empty() || !qvrOS::FindFirstExists(SlashToBackslash(V)) ||
        V.find_first_of("*?") != std::string::npos) {
        FArcType = atNA;
        FArchiveFile.clear();
        return;
    }
    FArchiveFile = SlashToBackslash(V);
    TFileStream32 file(FArchiveFile, fmOpenRead | fmShareDenyWrite);
    if (!file.Valid()) {
        FArcType = atNA;
        return;
    }
    file.EnableReadBuffer(32 * 1024);
    FArcType = IdentifyArchive(file);
    if (FArcType != atNA && FArcType != atUnsupported && FArcType != atFileOpenErr &&
        FArcType != atUnknown)
        SetVolumeScheme();
}

void TRegisterQuiver::SetArcType(TArcType)
{
    if (FArchiveFile.empty()) return;
    TFileStream32 file(FArchiveFile, fmOpenRead | fmShareDenyWrite);
    if (!file.Valid()) {
        FArcType = atNA;
        throw E_RAISE(MessageText(E_OPENERR), E_OPENERR);
    }
    FArcType = IdentifyArchive(file);
}

void TRegisterQuiver::DecipherHeader(uint8_t* Record, THeaderType Kind)
{
    FCipher.LoadHeaderKeys();
    FCipher.DecipherBuffer(Record + 4, HeaderBodyLength(GetU32(Record), Kind));
}

void TRegisterQuiver::DecipherHeaderName(uint8_t* Buffer, int Length)
{
    FCipher.DecipherBuffer(Buffer, Length);
}
