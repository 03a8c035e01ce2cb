// The simulated hand behind the adapter operations (DOVEL_CAN=sim[:OPTIONS]).
#pragma once

#include "can/can_backend.h"

const CanBackend* simOpenBackend(const char* options);
