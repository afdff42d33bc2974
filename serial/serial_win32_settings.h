#pragma once
// The device-control block of the port, apart so that tests can check all
// of it: a pseudo-terminal behind a test port does not keep the parity it
// is given, so reading the settings back cannot show them.

#include <windows.h>

// 115200 baud, 8 data bits, even parity, 1 stop bit, binary, no flow
// control of any kind, modem lines asserted. Fills the whole block;
// whatever it held before does not matter.
void com_MakeLineSettings(DCB* config);
