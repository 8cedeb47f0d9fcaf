// A file stream that belongs to a component, in one of two modes:
//
// - read mode (any open mode but fmCreate): a part of an archive opened for the
//   component, which learns of every read through FOnRead;
// - temporary mode (fmCreate): the data goes to a fresh temporary file, and Finish (or
//   the destructor) hands it to the owner to move or copy under its final name.
//
// The temporary file is removed on every path: after a move it is gone already, after
// a copy, a failure or an exception the destructor deletes it.
#pragma once

#include "qvrStreams.h"

#include <cstdint>
#include <functional>
#include <string>

class TZipCommon;

class TTempFileStream : public TFileStream32 {
public:
    TTempFileStream(TZipCommon& Owner, uint16_t Mode, const std::string& FileName,
                    const std::string& TempFolder = {});
    ~TTempFileStream() override;

    int32_t Read(void* Buffer, int32_t Count) override;
    // CopyFrom with chunks of up to 100000 bytes, FCancelPtrTemp as the cancel flag
    // (tested once per chunk) and FOnCopyProgressTemp as the progress hook.
    virtual int64_t CopyFromBuffered(TStream32& Source, int64_t Count);

    // Temporary mode: moves or copies the data under the final name now. Raises what
    // the owner raised (after reporting "Disk full" when the disk is full); runs once.
    void Finish();

    // A unique, empty file starting with "qvr" in Folder (the system's folder for
    // temporary files when Folder is empty or missing); its full name.
    static std::string MakeTempFileName(const std::string& Folder);

    bool IsTemp() const { return FIsTemp; }
    const std::string& TempName() const { return FTempName; }
    const std::string& FinalName() const { return FFinalName; }

    std::function<void(TStream32&)> FOnCopyProgressTemp;
    bool* FCancelPtrTemp = nullptr;
    // Called after every read with the stream.
    std::function<void(TTempFileStream&)> FOnRead;
    // Called around the hand-over of a temporary file: before with (final, temporary)
    // name, after also when the hand-over failed.
    std::function<void(const std::string& FinalName, const std::string& TempName)> FOnBeforeFinish;
    std::function<void()> FOnAfterFinish;

private:
    TTempFileStream(TZipCommon& Owner, uint16_t Mode, const std::string& FileName,
                    const std::string& OpenedName, int);

    TZipCommon& FOwner;
    bool FIsTemp;
    bool FFinished = false;
    uint16_t FMode;
    std::string FFinalName;
    std::string FTempName;
};
