// UnspoolTest.dll: the front end with a second export for tests, UnspoolsAsk, which
// runs like Unspools but asks before replacing an existing file, so that the overwrite
// dialog can be driven. The shipped Unspool.dll exports Unspools alone.
#include "Unspool.h"

extern "C" BOOLEAN UNSPOOL_API UnspoolsAsk(HWND AppHandle, const char* ArchiveName,
                                           const char* DestDir, const char* Message)
{
    return front::RunUnspools(AppHandle, ArchiveName, DestDir, Message, true) ? 1 : 0;
}
