#pragma once
// Windows opens COM1..COM9 by their bare names but COM10 and above only
// through the \\.\ device namespace. com_DevicePath gives a bare "COMn"
// (any case, n one or more digits) that prefix; any other name, including
// one already typed with a prefix, passes unchanged.

#include <cstddef>

// Writes the path to open into `out` (NUL-terminated). Returns false, with
// `out` untouched, when it does not fit in `out_size` bytes.
bool com_DevicePath(const char* name, char* out, size_t out_size);
