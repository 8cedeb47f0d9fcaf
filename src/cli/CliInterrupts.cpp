// The command's side of interrupts (CliInterrupts.h): the signal caught, read from the
// platform layer, and the run's cancel made of it.
#include "CliInterrupts.h"

#include "qvrBase.h"
#include "qvrPlatform.h"

void CatchInterrupts() { qvrOS::CatchInterrupts(); }

bool Interrupted() { return qvrOS::CaughtInterrupt() != 0; }

bool CancelIfInterrupted(TZipCommon& Run)
{
    if (!Interrupted()) return false;
    // The cancel is reported once, when it is set.
    if (!Run.GetCancel()) Run.SetCancel(true);
    return true;
}

void EndIfInterrupted()
{
    if (const int signal = qvrOS::CaughtInterrupt()) qvrOS::EndByInterrupt(signal);
}
