// Deflate and Deflate64 entries: the drivers between the archive stream, the inflate
// engine and WriteOutput.
#include "qvrUnZip.h"

void TUnZip::InflateDeflated(TStream32&, TStream32*, int)
{
    ReportError(FFileName, "", E_UNSUPPORTEDMETHOD, "0");
}

void TUnZip::InflateDeflate64(TStream32&, TStream32*, int)
{
    ReportError(FFileName, "", E_UNSUPPORTEDMETHOD, "0");
}
