// The simulated hand behind the adapter operations (DOVEL_CAN=sim[:OPTIONS]).
//
// "sim" runs the hand in real time; "sim:fast" installs the hand's virtual clock with
// clockUse, so sleeps, the utility's own time bounds and the bus all pass in simulated
// time. simStartTrace writes the hand's bus in candump log format. When the process
// ends, the hand runs on until nothing is pending (a reset sent last completes) and its
// report goes to standard error; the same happens earlier when the run lets go of the
// bus after its summary (canFinish). Nothing of the simulator goes to standard output.
//
// On the virtual clock an empty read lets SIM_EMPTY_READ_STEP_US pass, no more, so a
// reader that polls on a schedule sees a frame at its own next read; CAN_WaitForFrame
// jumps the clock to the next arrival or its deadline. In real time it runs the hand
// ahead to the moment the next frame is due for the host (or to the deadline) and
// sleeps until the real clock gets there (realSleepUntilUs).
#pragma once

#include <string>

#include "can/can_backend.h"
#include "sim/sim_hand.h"

// A fresh hand with the options; nullptr, after one line on standard error, when an
// option is unknown or malformed. A hand opened before is torn down first.
const CanBackend* simOpenBackend(const char* options);

// The bus of a hand with a state file is that file: "the simulated hand FILE", locked
// by the file's real path (sim/state_path.h). A hand without one lives only in its
// process and needs no lock.
void simNameBus(const char* options, BusName* bus);

// Checks an option list without making a hand: 0, or 1 with *problem naming the first
// unknown or malformed option.
int simCheckOptions(const char* options, std::string* problem);

// From now on, every frame on the current hand's bus is written to path
// (DOVEL_SIM_TRACE); unmasked: the access code as it is sent, in a file its owner alone
// may read. 0, or the errno value saying why the file cannot be made.
int simStartTrace(const char* path, bool unmasked);

// The hand the backend drives now, or nullptr (for checks from tests).
SimHand* simCurrentHand();

// Tears the current hand down without a report and gives the machine's clock back.
void simCloseBackend();

// An empty read on the virtual clock lets this much time pass.
constexpr int64_t SIM_EMPTY_READ_STEP_US = 10;
