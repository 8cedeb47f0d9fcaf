// Win32 platform layer: the interrupts of a command. A console program keeps the
// system's own Ctrl-C handling, which ends it at once; no handler is installed.
#include "qvrWin32Internal.h"

#include <cstdlib>

namespace qvrOS {

bool CatchInterrupts() { return false; }

int CaughtInterrupt() { return 0; }

void EndByInterrupt(int Signal) { std::_Exit(128 + Signal); }

} // namespace qvrOS
