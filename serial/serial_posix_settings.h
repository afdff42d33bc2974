#pragma once
// The termios settings of the port, apart so that tests can check all of
// them: a pseudo-terminal does not keep the parity bits it is given.

#include <termios.h>

// Raw 8E1 at 115200 without flow control, reads returning at once, modem
// control ignored (CLOCAL). Changes only the bits that matter, so the rest
// of what the driver reported stays as it was.
void com_MakeLineSettings(termios* tio);
