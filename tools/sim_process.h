// What the programs that run the simulated hand as a process of its own share: the stop
// request, the trace setting and the hand's run-on after a stop.
#pragma once

#include <signal.h>

#include "sim/sim_hand.h"

// Set by SIGTERM or SIGINT.
extern volatile sig_atomic_t simStopRequested;

// The simulated hand's trace writes the access code as it is only when asked, as the
// utility's own traces do (DOVEL_CAN_TRACE_UNMASKED=1).
bool simTraceUnmaskedAsked();

// Stop signals are held back except while waiting with *waitMask, so that none is lost
// between a check of simStopRequested and the wait.
void catchStopSignals(sigset_t* waitMask);

// Runs the hand on its own time line, without waiting, until nothing is pending: with no
// host any more, it finishes what it is doing (a controller's reset, say).
void settleHand(SimHand* hand);
