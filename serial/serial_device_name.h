#pragma once
// Windows opens COM1..COM9 by their bare names but COM10 and above only
// through the \\.\ device namespace. com_DevicePath gives a bare "COMn"
// (any case, n one or more digits) that prefix; any other name, including
// one already typed with a prefix, passes unchanged.

#include <cstddef>

// Writes the path to open into `out` (NUL-terminated). Returns false, with
// `out` untouched, when it does not fit in `out_size` bytes.
bool com_DevicePath(const char* name, char* out, size_t out_size);

// True when `name` (any case, with or without the \\.\ or \\?\ prefix, a
// trailing colon or an extension, in any folder) is one of the devices
// Windows keeps for the console, the printer and nothing: CON, CONIN$,
// CONOUT$, NUL, AUX, PRN, LPT0..LPT9. None of them is a serial port, though
// some answer as one: frames written there would reach a person's console
// or vanish, and a read of CONIN$ waits for the keyboard.
bool com_IsReservedDeviceName(const char* name);
