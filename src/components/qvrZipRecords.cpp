#include "qvrZipRecords.h"

THeaderType ClassifySignature(uint32_t Sig, THeaderType Expected, bool& BodyEnciphered)
{
    BodyEnciphered = false;
    const uint32_t second = (Sig >> 8) & 0xFF;
    const uint32_t rest = Sig & 0xFFFF00FFu;
    switch (Expected) {
    case htLocal:
    case htCentral: {
        const uint32_t base = Expected == htLocal ? LocalSig : CentralSig;
        if (rest != (base & 0xFFFF00FFu) || second < 0x4B || second > 0x4E) return htNone;
        BodyEnciphered = second == 0x4C || second == 0x4E;
        return Expected;
    }
    case htEnding:
        if (Sig == EndSig || Sig == WideEndSig) return htEnding;
        if (Sig == EndSigEnciphered || Sig == WideEndSigEnciphered) {
            BodyEnciphered = true;
            return htEnding;
        }
        return htNone;
    default: return htNone;
    }
}

bool IsWideEndSignature(uint32_t Sig) { return Sig == WideEndSig || Sig == WideEndSigEnciphered; }

int HeaderBodyLength(uint32_t Sig, THeaderType Kind)
{
    switch (Kind) {
    case htLocal: return 26;
    case htCentral: return 42;
    case htEnding:
        if (Sig == EndSig || Sig == EndSigEnciphered) return 18;
        if (IsWideEndSignature(Sig)) return 22;
        return 0;
    default: return 0;
    }
}
