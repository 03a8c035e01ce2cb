// The options of the simulated hand, as given after "sim:" in DOVEL_CAN: a comma-
// separated list of "fast" and fault settings, which combine.
//
//   fast             the hand runs on a virtual clock (the backend installs it)
//   zero-time        frames take no time on the bus and the controllers answer, take
//                    characters, store, erase and reset at once: what is left of a run's
//                    cost is the host's own and the simulator's
//   silent=ID        that controller never sends a frame
//   status=ID        its first ID query is answered by an adapter status message
//                    instead of by the controller, which never sees that query
//   crazy-id=ID      its first answer to an ID query reports SIM_CRAZY_ID
//   role-stuck=ID    it ignores ROLE writes
//   stall=ID:N       in a download it answers N characters, then sends nothing until
//                    it is reset
//   stall=ID:N:MS    in its first download that gets so far it answers N characters,
//                    then hangs for MS ms: it takes nothing and answers nothing, and the
//                    frames addressed to it in that time are lost. Then it comes back
//                    with its download stream broken, so it abandons the download (the
//                    flash keeps what was written, the image stays incomplete) and
//                    answers as a monitor again: get requests, sets, a new start request
//   slow=ID:MS       each answer to an ID query comes MS ms after the query
//   packed=PROP      every controller answers gets of property PROP in the packed form
//   read-error=ID:N  once that controller has taken N characters of a download, the
//                    adapter's next read fails once with SIM_READ_ERROR
//   foreign=ID       a node that is no Dovel answers the first get request addressed
//                    to that controller, ahead of the controller's own answer, and
//                    sends a frame once in that controller's download
//   long-len=ID      its first answer to a ROLE get reaches the host with LEN 15
//   erase=ID:MS      erasing its flash takes MS ms: its first reply after each download
//                    start request comes MS ms after the request
//   unplug-after=N   the adapter is pulled out when the Nth frame on the bus (either
//                    direction) has ended; 0: before the first. Its receive queue and the
//                    frames the host had written and not yet sent are lost, and every
//                    adapter operation fails with SIM_ADAPTER_GONE from then on. The
//                    controllers keep their state.
//   link-down-after=N  the adapter's link goes away as the kernel shows an interface that
//                    was deleted or set down when the Nth frame on the bus has ended:
//                    the receive queue and the frames not yet sent are lost, every write
//                    fails with SIM_LINK_DOWN, reads find the queue empty, and the link's
//                    start-up calls fail with SIM_LINK_DOWN. The controllers keep their state.
//   ready=count|id   what a monitor sends when it is ready for the next character of a
//                    download: count (the default) a VERS reply that counts the
//                    characters it took; id one fixed frame, an ID reply that carries its
//                    node number, whatever it took (a monitor may answer so: nothing in the
//                    protocol forbids it)
//   state=FILE       the controllers' state outlives the process in FILE (see
//                    sim/state_file.h); FILE is any path without a comma
//   halt-after=N     when the Nth frame on the bus has ended, the utility dies: the
//                    process ends at once (SIM_ABRUPT_EXIT_STATUS), the controllers keep
//                    power and go on in the state they are in
//   power-off-after=N  when the Nth frame on the bus has ended, everything loses power:
//                    the process ends at once and only the lasting state is kept
//   latency=US       the adapter's own delay, as a USB adapter has it: every frame the
//                    host writes reaches the bus US microseconds later, and every frame
//                    from the bus reaches the host's receive queue US microseconds after
//                    it ended there. 0 (the default): at once
//   shared-reply-id  every controller's replies in a download carry one identifier,
//                    SIM_SHARED_REPLY_ID, as a hand whose controllers are not told apart
//   reply-id-change=ID  that controller's replies in a download after its ready reply
//                    carry another identifier, SIM_CHANGED_REPLY_ID
//   stray=ID:OTHER   that controller's monitor answers the first download start request
//                    sent to controller OTHER with one ready frame of its own, as a
//                    monitor that wakes on bus traffic may
//   char-delay=ID:US that controller takes US microseconds for each character of a
//                    download before it replies (20 by default)
//   rx-buffer=N      a monitor holds N characters (0 to 16, 4 by default) that arrive
//                    while it is still taking one or erasing its flash; more are lost
//                    and counted in the end report, as a monitor with a small receive
//                    buffer loses them
//
// Every fault acts only in the run that names it; state= carries the controllers' state,
// not the faults, into the next run.
#pragma once

#include <string>

constexpr int SIM_FIRST_DOVEL_ID = 11;
constexpr int SIM_DOVEL_COUNT = 4;
constexpr int SIM_PROPERTY_COUNT = 128;
// rx-buffer=N: by default and at most.
constexpr int SIM_RX_DEFAULT_BUFFER = 4;
constexpr int SIM_RX_BUFFER_OPTION_MAX = 16;
// Disables a counted fault (stall, slow, read-error, erase, unplug-after).
constexpr int SIM_FAULT_OFF = -1;

struct SimDovelFaults {
    bool silent;
    bool statusOnIdQuery;
    bool crazyId;
    bool roleStuck;
    bool foreignReply;
    bool longLenRoleReply;
    int stallAfterCharacters;      // SIM_FAULT_OFF or N
    int slowIdReplyMs;             // SIM_FAULT_OFF or MS
    int readErrorAfterCharacters;  // SIM_FAULT_OFF or N
    int stallRecoverMs;            // SIM_FAULT_OFF (stalled until reset) or MS
    int eraseMs;                   // SIM_FAULT_OFF or MS
    bool replyIdChange;
    int strayForNode;      // 0, or the controller whose first start request it answers
    int characterDelayUs;  // SIM_FAULT_OFF or US
};

struct SimOptions {
    bool fast;
    bool zeroTime;
    bool readyAsId;                         // ready=id
    SimDovelFaults dovel[SIM_DOVEL_COUNT];  // index: controller ID - SIM_FIRST_DOVEL_ID
    bool packed[SIM_PROPERTY_COUNT];
    long unplugAfterFrames;    // SIM_FAULT_OFF or N
    long linkDownAfterFrames;  // SIM_FAULT_OFF or N
    long haltAfterFrames;      // SIM_FAULT_OFF or N
    long powerOffAfterFrames;  // SIM_FAULT_OFF or N
    std::string statePath;     // empty: the hand lives and dies with the process
    long latencyUs;            // the adapter's delay each way
    bool sharedReplyId;
    int rxBuffer;  // characters a monitor holds while it is not ready for them
};

// No faults, real time.
SimOptions simDefaultOptions();

// Parses an option list ("" for none). 0 with *options set, or 1 with *error naming the
// first unknown or malformed option, e.g. "unknown option 'bogus'".
int simParseOptions(const char* text, SimOptions* options, std::string* error);
