// One entry of a ZIP walk, as a value: built once from its records by the walk and
// handed down the entry's whole path (taking it, the password search, its layers, its
// decoder, its sink and its verdict). Nothing on that path reads the component's header
// slots, which the walk is free to fill with the next record while an entry is decoded.
#pragma once

#include "qvrAesInput.h"
#include "qvrCrypt.h"
#include "qvrEntryFacts.h"
#include "qvrZipRecords.h"

#include <cstdint>
#include <string>

struct TZipEntry {
    // Where the entry stands in the run's entry table.
    int32_t Index = -1;
    // The name it was selected by, "\" separated.
    std::string Name;
    // What its decoder reads: flags and method from the directory when there is one,
    // sizes with their high words, the DOS date, the writer's system and the UTC time.
    TEntryInfo Info;
    uint32_t ExternalAttr = 0;
    // The CRC-32 its bytes are judged by, and the one a listing shows (the directory's;
    // without a directory both are the local header's or its data descriptor's).
    uint32_t Crc = 0;
    uint32_t ListedCrc = 0;
    // The local header's flags and DOS date and time: its bit 3 says whether the
    // password check byte is the time's or the CRC's, and the date is the file's.
    uint16_t LocalFlags = 0;
    uint32_t LocalDosDateTime = 0;
    // The local header's position (a volume position in a split set).
    int64_t HeaderAt = 0;
    // Once a password opened it: the key state just past its encryption header.
    TZipCipher Cipher;
    // A WinZip AES entry (method 99): its local header's 0x9901 field, and once a
    // password opened it, its keys.
    TAesFacts Aes;
    TAesKeys AesKeys;

    bool Encrypted() const { return Info.Flags & 0x0001; }
    bool IsAes() const { return Info.Method == 99; }
    // A folder by its attributes, or by a name that ends in a separator (the local
    // header scan has no attributes at all).
    bool IsDirectory() const
    {
        return (ExternalAttr & 0x10) || (!Name.empty() && Name.back() == '\\');
    }
    // The method its decoder is chosen by: the one beneath an AES cipher.
    uint16_t DecodedMethod() const
    {
        return IsAes() ? Aes.Method : static_cast<uint16_t>(Info.Method);
    }
    // An AE-2 entry stores no CRC: its authentication code is its verdict alone.
    bool ChecksCrc() const { return !IsAes() || Aes.Version != 2; }
    // The bytes before the compressed data (the traditional encryption header, or the
    // AES salt and verifier) and after it (the AES authentication code).
    int32_t CipherHeaderBytes() const
    {
        if (IsAes()) return static_cast<int32_t>(AesHeaderSize(Aes.Strength));
        return Encrypted() ? 12 : 0;
    }
    int32_t CipherTrailerBytes() const { return IsAes() ? int32_t{AesCodeSize} : 0; }
    // Compressed bytes between those, where the decoder starts and ends.
    int64_t PackedBytes() const
    {
        const int64_t n = Info.CompressedSize - CipherHeaderBytes() - CipherTrailerBytes();
        return n < 0 ? 0 : n;
    }
};
