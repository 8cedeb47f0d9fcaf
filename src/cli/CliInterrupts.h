// Ctrl-C, a termination or a hang-up during a run of the command. The signal is only
// recorded (qvrOS::CatchInterrupts); the run turns it into the component's cancel at
// its next progress step or answer read, so that the files it has begun are withdrawn,
// every existing file is kept and the file cut short is reported. Once the run is over,
// the command ends by the same signal, and the shell sees which (130 for Ctrl-C, 143
// for a termination).
#pragma once

class TZipCommon;

// Catches the signals from here on.
void CatchInterrupts();
// Whether one was caught; with Run, that run is cancelled (once).
bool Interrupted();
bool CancelIfInterrupted(TZipCommon& Run);
// Ends the process by the signal caught, if one was; returns otherwise.
void EndIfInterrupted();
