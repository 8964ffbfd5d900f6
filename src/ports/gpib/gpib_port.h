// The GPIB port (Holvern): IQX_Port over an IEEE-488 interface board, talking
// to the instrument at one fixed address. Selecting it by its exact class id
// also switches the session to block mode: frame bodies are read in one
// transfer, with no per-byte acknowledgement.
#pragma once

#include <memory>

#include "ports/gpib/gpib_constants.h"
#include "ports/iqx_port.h"

namespace pelvane::ports {

namespace gpib {

class GpibBinding;

// The device settings, fixed when a port is created.
struct DeviceSettings {
  int board = 0;
  int primaryAddress = 28;
  int secondaryAddress = 0;  // none
  int openTimeout = kT10s;
  int sendEoi = 1;             // EOI with the last byte written
  int eosMode = 0;             // no end-of-string byte
  int transferTimeout = kT3s;  // set before each read and write
  int closeTimeout = kT1ms;    // for the read that drains a pending byte at close
};

}  // namespace gpib

// A GPIB port on the process-wide driver binding with the standard settings.
// The open parameters are not read: "GPIB0" and any other text open board 0,
// primary address 28.
std::unique_ptr<IQX_Port> CreateGpibPort();

// The same over a given binding (tests load a fake driver through their own).
// The binding must outlive the port.
std::unique_ptr<IQX_Port> CreateGpibPort(gpib::GpibBinding& binding,
                                         const gpib::DeviceSettings& settings = {});

}  // namespace pelvane::ports
