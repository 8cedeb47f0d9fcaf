#include "qvrTempFile.h"

#include "qvrBase.h"
#include "qvrPlatform.h"

namespace {

// The temporary file's name: made before the stream opens it.
std::string OpenName(uint16_t Mode, const std::string& FileName, const std::string& TempFolder)
{
    return Mode == fmCreate ? TTempFileStream::MakeTempFileName(TempFolder) : FileName;
}

} // namespace

TTempFileStream::TTempFileStream(TZipCommon& Owner, uint16_t Mode, const std::string& FileName,
                                 const std::string& TempFolder)
    : TTempFileStream(Owner, Mode, FileName, OpenName(Mode, FileName, TempFolder), 0)
{
}

TTempFileStream::TTempFileStream(TZipCommon& Owner, uint16_t Mode, const std::string& FileName,
                                 const std::string& OpenedName, int)
    : TFileStream32(OpenedName, Mode),
      FOwner(Owner),
      FIsTemp(Mode == fmCreate),
      FMode(Mode),
      FFinalName(FIsTemp ? FileName : std::string()),
      FTempName(OpenedName)
{
}

TTempFileStream::~TTempFileStream()
{
    if (FIsTemp) {
        try {
            Finish();
        } catch (...) {
            // A destructor cannot raise: the failure was reported by Finish.
        }
        Close();
        if (!FTempName.empty()) qvrOS::DeleteFileName(FTempName);
    }
}

int32_t TTempFileStream::Read(void* Buffer, int32_t Count)
{
    const int32_t got = std::max(TFileStream32::Read(Buffer, Count), 0);
    if (FOnRead) FOnRead(*this);
    return got;
}

int64_t TTempFileStream::CopyFromBuffered(TStream32& Source, int64_t Count)
{
    FOnProgress = FOnCopyProgressTemp;
    return CopyInChunks(Source, Count, 100000, FCancelPtrTemp, false);
}

void TTempFileStream::Finish()
{
    if (!FIsTemp || FFinished) return;
    FFinished = true;
    if (FMode == 0 || FFinalName.empty() || !Valid()) return;
    try {
        std::exception_ptr failure;
        try {
            if (FOnBeforeFinish) FOnBeforeFinish(FFinalName, FTempName);
            // The same drive letter on both sides: the file can simply be moved.
            const std::string folder = FOwner.TempFolder();
            const bool sameDrive = HasDrive(folder) && HasDrive(FFinalName) &&
                                   AsciiToUpper(folder[0]) == AsciiToUpper(FFinalName[0]);
            if (sameDrive) Close();
            FOwner.SaveStreamToFile(*this, FFinalName, Size(), sameDrive, FTempName);
        } catch (...) {
            failure = std::current_exception();
        }
        if (FOnAfterFinish) FOnAfterFinish();
        if (failure) std::rethrow_exception(failure);
    } catch (...) {
        if (qvrOS::LastError() == qvrOS::ErrorDiskFull)
            FOwner.ReportError(FOwner.ArchiveFile(), "", E_DISKFULL, "0", rsRun);
        throw;
    }
}

std::string TTempFileStream::MakeTempFileName(const std::string& Folder)
{
    std::string dir = !Folder.empty() && DirExists(Folder) ? Folder : TempDir();
    if (!DirExists(dir)) ForceDirs(dir);
    return qvrOS::TempFileName(dir, "qvr");
}
