#include "can/reply_owners.h"

namespace {

// A hand has four controllers; a few more identifiers than that can never be proven.
constexpr int MAX_OWNED_IDS = 8;
constexpr int SHARED = -2;

struct ReplyOwner {
    uint32_t replyId;
    int controllerId;  // or SHARED
};

ReplyOwner owners[MAX_OWNED_IDS];
int ownerCount = 0;

}  // namespace

void forgetReplyOwners() { ownerCount = 0; }

void noteReplyOwner(uint32_t replyId, int controllerId) {
    for (int i = 0; i < ownerCount; ++i) {
        if (owners[i].replyId == replyId) {
            if (owners[i].controllerId != controllerId) {
                owners[i].controllerId = SHARED;
            }
            return;
        }
    }
    if (ownerCount < MAX_OWNED_IDS) {
        owners[ownerCount++] = ReplyOwner{replyId, controllerId};
    }
}

bool replyOfAnotherController(uint32_t replyId, int controllerId) {
    if (controllerId == ANY_CONTROLLER) {
        return false;
    }
    for (int i = 0; i < ownerCount; ++i) {
        if (owners[i].replyId == replyId) {
            return owners[i].controllerId != SHARED && owners[i].controllerId != controllerId;
        }
    }
    return false;
}
