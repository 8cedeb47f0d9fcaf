// Archive type identification.
#include "qvrregister.h"

TArcType TRegisterQuiver::CheckSignature(TSigMode, const uint8_t Sig[4])
{
    bool enc;
    if (ClassifySignature(GetU32(Sig), htLocal, enc) == htLocal) return atZip;
    return atUnknown;
}

TArcType TRegisterQuiver::IdentifyArchive(TFileStream32* Stream)
{
    if (!Stream) return atNA;
    FArchiveSize = Stream->Size();
    FHeaderState.Clear();
    FWalkStart = -1;
    FOffsetAdjust = 0;
    FEndRecordEnd = 0;
    uint8_t head[4] = {};
    Stream->Seek(0, 0);
    Stream->Read(head, 4);
    TArcType t = CheckSignature(TSigMode::Plain, head);
    FWalkStart = FindEndRecord(*Stream);
    if (t == atUnknown && FHeaderState.Has(htCentral)) t = atZip;
    if (t == atZip && !FHeaderState.Has(htLocal) && FWalkStart == 0) {
        FWalkStart = 0;
        FHeaderState.Add(htLocal);
    }
    return t;
}

void TRegisterQuiver::SetVolumeScheme() {}
