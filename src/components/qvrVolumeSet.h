// Split ZIP sets: which parts there are, how the next one is had, and whether a record
// is expected where a part begins.
//
// A set is spanned over removable disks (atZipDS: every disk holds a file with the
// archive's own name) or made of numbered files side by side (atZipMV: name.z01,
// name.z02, ..., name.zip last, with the directory). The walk reads either through one
// volume stream; the set opens its parts one at a time when the stream wants them,
// asking the host through the events for each. A set reaches its component through
// TVolumeHost only.
#pragma once

#include "qvrGbls.h"
#include "qvrSpan.h"
#include "qvrVolumeHost.h"
#include "qvrVolumeStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TVolumeSet {
public:
    explicit TVolumeSet(TVolumeHost Host) : FHost(std::move(Host)), FSpan(FHost) {}
    // The span object refers to the host handlers held here.
    TVolumeSet(const TVolumeSet&) = delete;
    TVolumeSet& operator=(const TVolumeSet&) = delete;

    // ZIP64 disk numbers are 32 bits wide; a set of more parts than the plain record's
    // 16-bit fields can count is not a real one.
    static constexpr uint32_t MaxDisk = 0xFFFE;

    // The name of numbered part Number (1-based) of the set Name belongs to: its
    // extension replaced by .z01, .z02, ... (.z100 past 99).
    static std::string PartName(const std::string& Name, uint32_t Number);
    // The number of a numbered part (name.z01 -> 1); 0 for any other name.
    static uint32_t PartNumber(const std::string& Name);
    // The last part of the set whose numbered part Name is, when it lies beside it.
    static std::string LastPartBeside(const std::string& Name);
    // Pieces cut from one file (x.001, x.002, ...): the one First names and those
    // following it as long as they exist. Empty when First is not a first piece or
    // does not exist.
    static std::vector<std::string> PieceNames(const std::string& First);

    // Before a walk of a set of Type over Stream, the archive as opened. A spanned set
    // gets its last disk first (the archive is identified again from it); a numbered
    // part without end records whose last part lies beside it stands for its set, read
    // from that last part, identified instead of it until End. False when the walk
    // cannot go on.
    bool Begin(TArcType Type, bool Directory, std::unique_ptr<TStream32>& Stream);
    // The volume stream over the parts, Stream being the part open now: the one with
    // the end records, LastDisk, or (Directory false) the part the local headers start
    // in, followed by the numbered parts after it that exist.
    void Join(uint32_t LastDisk, bool Directory, std::unique_ptr<TStream32>& Stream);
    // After the walk: the archive named as before it.
    void End();

    // Whether the walk reads a set now.
    bool Reading() const { return FVolumes != nullptr; }
    // Pos with what is known of the parts' sizes carried into later parts.
    int64_t Normalize(int64_t Pos) const { return FVolumes ? FVolumes->Normalize(Pos) : Pos; }
    // Where the next part opened must show a record (a volume position): the entry's
    // local header, then the end of its data.
    void RecordAt(int64_t Pos) { FRecordAt = Pos; }

    // Opens the numbered part after Index, the last being Last: the host is asked
    // through its volume event (or, without one, the part is taken where it lies).
    // Null when it cannot be had; why is reported.
    std::unique_ptr<TStream32> NextVolume(uint32_t Index, uint32_t Last);

private:
    std::unique_ptr<TStream32> OpenDisk(uint32_t Disk);
    // The name the part after Index is proposed under, the last being Last.
    std::string Proposed(uint32_t Index, uint32_t Last) const;

    TVolumeHost FHost;
    TDiskSpannObj FSpan;
    TArcType FType = atNA;
    TVolumeStream* FVolumes = nullptr;
    int64_t FRecordAt = 0;
    // The part read last, which names the next; and the archive identified before
    // Begin when the run reads the set from a last part beside it.
    std::string FPartName;
    std::string FNamed;
    // The part number the volume stream's disk 0 stands for, less one, and whether the
    // parts run up to the one with the archive's own name.
    uint32_t FFirst = 0;
    bool FToLast = true;
};
