// The layers one entry's bytes pass through, whichever thread runs them: the password
// check that keys the entry's cipher, then the window of its compressed bytes, the
// cipher of an encrypted entry, the method's decoder and the sink.
#pragma once

#include "qvrEntrySink.h"
#include "qvrMethods.h"
#include "qvrStreams.h"
#include "qvrZipEntry.h"

#include <cstddef>
#include <cstdint>
#include <string>

// What an entry's records decide before any of its bytes is read or any file is touched:
// the decoder its method names, or the report that refuses it. One function for every
// thread, so that a worker never decodes an entry the calling thread would refuse.
struct TEntryPlan {
    const TMethodRow* Method = nullptr; // null: refused with Code and Reason
    int32_t Code = 0;
    std::string Reason;
};
TEntryPlan PlanEntry(const TZipEntry& Entry);

// The longest encryption header of a cipher the plan accepts (an AES-256 salt and its
// verifier; the traditional header is 12 bytes).
inline constexpr size_t CipherHeaderMax = AesMaxHeaderSize > 12 ? AesMaxHeaderSize : 12;
using TCipherHeader = uint8_t[CipherHeaderMax];
// Reads the encryption header of Entry, an entry PlanEntry accepted, from Stream into
// Header; false when the archive ends before it does.
bool ReadCipherHeader(TStream32& Stream, const TZipEntry& Entry, TCipherHeader& Header);

// Whether Password passes the check of Entry's encryption header (the 12 traditional
// bytes, or an AES entry's salt and verifier) at Header; the entry's cipher is then
// keyed for its data.
bool KeyEntry(TZipEntry& Entry, const std::string& Password, const uint8_t* Header);
// The traditional check of Password against Header (24 bytes: the encryption header
// twice, deciphered in place), keying Entry's cipher.
bool PassesCheckByte(TZipEntry& Entry, const std::string& Password, uint8_t Header[24]);

// Decodes Entry, whose compressed bytes Stream stands at (past any encryption header),
// into Sink, and judges where its data ended against its sizes: data past the declared
// size, short of it, or ending before the compressed bytes do fails the entry with one
// bad block. An AES entry's authentication code is then read behind them and checked.
// MacBeside: that code is computed on a thread of its own. Whole: the decoder may read
// the entry's bytes ahead of its output in one go.
TDecodeResult DecodeEntryLayers(const TMethodRow& Method, TStream32& Stream,
                                const TZipEntry& Entry, TEntrySink& Sink, bool MacBeside,
                                bool Whole);
