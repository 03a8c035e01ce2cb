// A host that is never late. The simulated hand runs on its virtual clock behind an
// adapter whose reads take no time and whose wait ends at the very moment the next
// frame is due; sleeps last exactly what they ask. The hand's time at the end of a run
// is then the shortest that run can take: every frame's time on the bus, every step of
// the controllers and every pause the utility makes, where they do not overlap.
#pragma once

#include "can/can_backend.h"
#include "sim/sim_hand.h"

// Drives the hand through the returned backend and installs the hand's clock with
// clockUse. The hand stays the caller's.
const CanBackend* exactHostOpen(SimHand* hand);

// Gives the machine's clock back.
void exactHostClose();
