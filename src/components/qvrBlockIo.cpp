// The block interface of the component: reads and writes of whole blocks through the
// component itself, with the running CRC-16/CRC-32 and the cipher of the archive type
// applied on the way. ZIP entries never take this path (their bytes go through their
// window, cipher layer, decoder and sink); it serves decoders of other archive types
// and hosts that drive the cipher themselves, and EndFile gives its CRC's verdict.
#include "qvrBase.h"
#include "qvrCrc.h"

void TZipCommon::UpdateCrc(uint8_t CrcKind, const void* Buffer, int32_t Count)
{
    if (CrcKind == 32)
        UpdateCrc32(Buffer, Count, Crc32Acc);
    else if (CrcKind == 16)
        UpdateCrc16(Buffer, Count, Crc16Acc);
}

int32_t TZipCommon::ReadBlock(TStream32& Stream, uint8_t* Buf, int32_t Count, uint8_t CrcKind,
                              bool Decrypt)
{
    int32_t n = Count > 0 ? Stream.Read(Buf, Count) : 0;
    if (n < 0) n = 0;
    DecryptBuffer(Decrypt, Buf, n);
    UpdateCrc(CrcKind, Buf, n);
    return n;
}

void TZipCommon::DecryptBuffer(bool Decrypt, uint8_t* Buf, int32_t Count)
{
    if (!Decrypt || Count <= 0) return;
    if (FArcType == atArj || FArcType == atArjExe) {
        if (FPassword.empty()) return;
        for (int32_t i = 0; i < Count; ++i)
            Buf[i] ^= static_cast<uint8_t>(FPassword[static_cast<size_t>(i) % FPassword.size()]);
    } else if (IsZipFamily(FArcType)) {
        FCipher.DecipherBuffer(Buf, Count);
    }
}

int32_t TZipCommon::WriteBlock(TStream32* Out, uint8_t* Buf, int Mode, int32_t Count,
                               uint8_t CrcKind, bool Decrypt)
{
    if (Decrypt && Mode == 1 && IsZipFamily(FArcType) && Count > 0)
        FCipher.DecipherBuffer(Buf, Count);
    return WriteOutput(Out, Buf, Mode, Count, CrcKind);
}

int32_t TZipCommon::WriteBlock2(TStream32* Out, uint8_t* Buf, int Mode, int32_t Count,
                                uint8_t CrcKind, bool Decrypt)
{
    if (Decrypt && Mode == 1 && IsZipFamily(FArcType))
        for (int32_t i = 0; i < Count; ++i) FCipher.DecipherBuffer(Buf + i, 1);
    return WriteOutput(Out, Buf, Mode, Count, CrcKind);
}

int32_t TZipCommon::WriteOutput(TStream32* Out, const uint8_t* Buf, int Mode, int32_t Count,
                                uint8_t CrcKind)
{
    const int32_t written = WriteEntryBytes(Out, Buf, Count, FFileName);
    if (written == Count && Mode == 1) UpdateCrc(CrcKind, Buf, written);
    return written;
}

bool TUnBase::EndFile(uint8_t CrcKind, uint32_t StoredCrc)
{
    const uint32_t c = CrcKind == 16 ? Crc16Acc : Crc32Acc;
    return EndEntry(StoredCrc == c || StoredCrc == (c ^ 0xFFFFFFFFu));
}
