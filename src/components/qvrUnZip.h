// TUnZip: the ZIP extraction component. It walks the archive (central directory, or
// local headers when no directory can be found), selects entries by FileSpec, checks
// passwords, and hands each entry to the decoder of its compression method.
#pragma once

#include "qvrBase.h"

#include <cstdint>
#include <memory>
#include <string>

class TUnZip : public TUnBase {
public:
    TUnZip();
    ~TUnZip() override;

    bool CheckPassword(uint8_t* Header) override;

protected:
    void ExtractArchive(std::unique_ptr<TStream32>& Stream) override;

    // The two walks: collect the selected entries, then extract them.
    int32_t ScanCentralDirectory(TStream32& Stream);
    int32_t ScanLocalHeaders(TStream32& Stream);
    void ExtractListed(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TFileStream32>& Out);
    void ExtractScanned(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TFileStream32>& Out);

    // One entry: begin step, password, output file, decoding, CRC verdict.
    bool ExtractEntry(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TFileStream32>& Out,
                      int32_t Index, uint32_t ExternalAttr);
    // The method dispatch; false only when stored data needed a volume it did not get.
    bool DecompressEntry(const std::string& FileName, int32_t Index, TEntryInfo& Info,
                         TStream32* Out, std::unique_ptr<TStream32>& Stream);
    // Copies stored data; returns the bytes not copied.
    int64_t CopyStored(TStream32& Stream, TStream32* Out, const TEntryInfo& Info,
                       const std::string& FileName, uint8_t CrcKind);
    // The password search for the entry whose encryption header is next in Stream.
    bool VerifyPassword(TStream32& Stream);

    // Deflate (method 8) and Deflate64 (method 9) entries.
    // Stream is replaced when the data runs on into the next volume of a set.
    void InflateDeflated(std::unique_ptr<TStream32>& Stream, TStream32* Out, int WindowBits);
    void InflateDeflate64(std::unique_ptr<TStream32>& Stream, TStream32* Out, int WindowBits);
    void InflateEntry(std::unique_ptr<TStream32>& Stream, TStream32* Out, int WindowBits,
                      bool Deflate64);
    // Moves a spanned or multi-volume set on to the volume that continues the entry
    // being read, replacing Stream; false when there is none. Sets cannot be read
    // volume by volume yet, so the base has none to give.
    virtual bool NextVolume(std::unique_ptr<TStream32>& /*Stream*/) { return false; }

    // Reads a stored name of Length bytes (cut to 255), deciphering it when the header
    // was enciphered, and normalises it; Flags bit 11 marks a name already in UTF-8.
    std::string ReadEntryName(TStream32& Stream, uint16_t Length, bool Enciphered,
                              uint16_t Flags);
    // Parses an extra field of a local (Kind 0) or central (Kind 1) header: ZIP64
    // values replace the header slot's 32-bit fields, high words go to FHighParts.
    void ReadExtraField(TStream32& Stream, uint16_t Length, int Kind);
    bool MatchFileSpec(const std::string& Name);
    // Reads the local header at Position with its name and extra field (deciphering an
    // enciphered one) and returns the name; the stream is left at the entry's data.
    std::string ReadEntryLocalHeader(TStream32& Stream, int64_t Position);
    // Reads the 30-byte local header at Pos into FLocalHdr without moving the walk.
    bool ReadLocalHeaderAt(TStream32& Stream, int64_t Pos);

    TEntryInfo FEntryInfo;
    int32_t FCurEntry = -1;
    int64_t FPackedLeft = 0;
};
