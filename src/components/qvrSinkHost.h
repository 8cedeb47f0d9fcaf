// What an entry sink asks of whoever runs the extraction: to write the entry's bytes,
// to report a write that failed, to count progress and to say whether the run is
// cancelled. The component implements it; the sink and the decoders above it know only
// this, so none of them depends on the component or its headers.
#pragma once

#include <cstdint>
#include <string_view>

class TStream32;

class TSinkHost {
public:
    // Writes Count decoded bytes of the entry whose output name is FileName to Out; a
    // short write is reported there. Returns the bytes written.
    virtual int32_t WriteEntryBytes(TStream32* Out, const uint8_t* Buf, int32_t Count,
                                    std::string_view FileName) = 0;
    // Reports a write to FileName that failed with the system's Error.
    virtual void ReportWriteFailure(uint32_t Error, std::string_view FileName) = 0;
    // Produced more bytes of the current entry are done: FileDone of FileTotal.
    virtual void EntryProgress(int64_t Produced, int64_t FileTotal, int64_t FileDone) = 0;
    virtual bool GetCancel() const = 0;

protected:
    // Never deleted through this interface: the host owns its own lifetime.
    ~TSinkHost() = default;
};
