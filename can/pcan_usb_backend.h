// The USB-to-CAN adapter through its maker's library PCAN_USB.dll (DOVEL_CAN=pcan-usb,
// the default on Windows). The library is loaded at the first CAN_Init and its five
// operations are bound by ordinal.
#pragma once

#include <cstdint>

#include "can/can_backend.h"

// The library's file name; Windows searches for it as for any DLL, the program's own
// folder first.
constexpr const char* PCAN_USB_LIBRARY = "PCAN_USB.dll";

// Ordinals of the operations the utility uses.
constexpr int PCAN_USB_ORDINAL_INIT = 2;
constexpr int PCAN_USB_ORDINAL_READ = 3;
constexpr int PCAN_USB_ORDINAL_WRITE = 7;
constexpr int PCAN_USB_ORDINAL_RESET_CLIENT = 10;
constexpr int PCAN_USB_ORDINAL_MSG_FILTER = 11;

// Our own CAN_Init results when the library cannot be used; one line on standard
// error tells which file or ordinals are missing.
constexpr int32_t PCAN_USB_ERR_NO_LIBRARY = 0x40000;
constexpr int32_t PCAN_USB_ERR_NO_ORDINAL = 0x80000;

// options: "" for PCAN_USB.dll, or another file name or path of the library. Opening
// drops a library loaded by an earlier opening; the new one is loaded at CAN_Init.
const CanBackend* pcanUsbOpenBackend(const char* options);

// The library drives one adapter per machine, whatever file it is loaded from: one bus,
// locked machine-wide as "pcan-usb".
void pcanUsbNameBus(const char* options, BusName* bus);
