// What a split set asks of the component reading it, as handlers the component fills:
// the set (qvrVolumeSet) and its disk-swapping half (qvrSpan) both speak to the
// component through these alone, so neither needs the component's class.
#pragma once

#include "qvrGbls.h"
#include "qvrStreams.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TDiskManager;

// What a split set needs from the component reading it: handlers the component fills.
struct TVolumeHost {
    // The host's answers to requests for parts; a member left empty is not assigned.
    struct TEvents {
        std::function<void(bool& Cancel)> LastDisk, FirstDisk;
        std::function<void(const std::string& Number, bool& Cancel)> NextDisk;
        std::function<void(std::string& Name, const std::string& Number, bool Exists,
                           bool& Cancel)>
            NextVolume;
    };

    std::function<TEvents()> VolumeEvents;
    // Reports about the run; Raise raises after reporting.
    std::function<void(const std::string& File, const std::string& Ext, int32_t Code,
                       const std::string& Volume, bool Raise)>
        VolumeReport;
    // Cancels the run; Report says so (25443) as a refusal by the host does.
    std::function<void(bool Report)> CancelRun;
    std::function<bool()> RunCancelled;
    // The run's cancel flag is the component's own again.
    std::function<void()> OwnCancelFlag;
    // The archive's name as the host knows it now.
    std::function<std::string()> VolumeArchive;
    // Identifies Name afresh as the archive; true when it has its end records.
    std::function<bool(const std::string& Name)> Reidentify;
    // The type identification found last; atNA for any that cannot be read.
    std::function<TArcType()> IdentifiedType;
    // Opens part Name for reading, others may read it too; null when it cannot be opened.
    std::function<std::unique_ptr<TStream32>(const std::string& Name)> OpenPart;
    std::function<TDiskManager&()> VolumeDisks;
    // The part being read: its name, and (numbered files) its 1-based number.
    std::function<void(const std::string& Name)> PartNamed;
    std::function<void(int32_t Number)> PartNumbered;
    // The size of the archive on the disk in the drive.
    std::function<void(int64_t Size)> DiskSized;
};
