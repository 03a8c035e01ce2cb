// The identifiers that this run has proven to carry one controller's replies alone. A
// CAN frame does not say who sent it: an identifier is proven only by a controller's
// answering, one for one, the frames sent to it while no other controller had anything
// outstanding. A reply read for one controller is never a frame of another's proven
// identifier.
#pragma once

#include <cstdint>

// Any controller: nothing is passed over.
constexpr int ANY_CONTROLLER = -1;

// Forgets every identifier: the next run proves its own.
void forgetReplyOwners();

// The controller's replies carry replyId. An identifier that a second controller's
// replies carry too is no one's, for good (in this run).
void noteReplyOwner(uint32_t replyId, int controllerId);

// Whether replyId is proven to be another controller's than controllerId's.
bool replyOfAnotherController(uint32_t replyId, int controllerId);
