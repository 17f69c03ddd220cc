// The DCB and COMMTIMEOUTS that the Windows backend applies, as pure functions of what the port
// had and what is asked, so that their every field can be checked without a port.
#pragma once

#include <windows.h>

#include "serial_backend.h"

namespace qdfu {

// current with speed, parity (0 none, 1 even, 2 odd), size and stop bits (0: 1, 1: 1.5, 2: 2)
// from s, the length 28 and the flags word 1 (binary mode only).
DCB Win32LineSettings(const DCB& current, const LineSettings& s);

// current with the read multiplier readPerByteMs, the write multiplier writePerByteMs and both
// constants 0; the read interval stays as it was (with a read multiplier of 0 it becomes MAXDWORD:
// a read returns at once with what is there instead of waiting for ever).
COMMTIMEOUTS Win32Timeouts(const COMMTIMEOUTS& current, int readPerByteMs, int writePerByteMs);

// One slice of a read that an idle hook cuts up: perByte (as Win32Timeouts made it) with a total
// read time-out of sliceMs (at least 1: 0 would wait for ever) and no interval or multiplier; the
// write time-outs stay.
COMMTIMEOUTS Win32SliceTimeouts(const COMMTIMEOUTS& perByte, int sliceMs);

}  // namespace qdfu
