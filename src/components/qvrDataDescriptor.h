// Finding the end of an entry whose local header defers its CRC and sizes to a data
// descriptor (bit 3 of the flags, zeros in the header): a streamed archive met by the
// local-header scan, whose directory is missing or damaged.
#pragma once

#include "qvrStreams.h"
#include "qvrZipRecords.h"

#include <cstdint>

// Looks for the descriptor of the entry whose data starts at DataStart; Entry is what
// its local header gives (flags, method, sizes). A header that gives sizes (Info-ZIP
// writes them for the files it reads) is taken at its word: the descriptor must follow
// the data there, and for a stored encrypted entry, whose header counts the data
// without its 12-byte encryption header, 12 bytes later. A header of zeros leaves the
// search: a signed descriptor whose compressed size equals its distance from
// DataStart, followed by another record or the end of the archive, is taken. Failing
// that, Deflate and Deflate64 data that is not encrypted is decoded to the end of its
// stream, and the descriptor, signed or not, must follow it with the sizes found.
// Leaves the stream's position undefined.
bool FindDataDescriptor(TStream32& Stream, int64_t DataStart, const TEntryInfo& Entry,
                        TDataDescriptor& D);
