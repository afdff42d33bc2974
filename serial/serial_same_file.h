#pragma once
// Whether an output file the run writes (the trace, a report) is the port
// itself: bytes written there would reach the device between the frames.
// Per platform: serial_same_file_posix.cpp, serial_same_file_win32.cpp.

#include <cstdint>

// True when the file `path`, open as `handle` (POSIX: its descriptor;
// Windows: its HANDLE as an integer; -1 when not open yet), is the local
// port named `port` as typed. POSIX: the same file (device and inode) or
// the same character device (a second node or link to it), whether or not
// the port is open yet; a port name that does not exist (a network port)
// is never a file. Windows: the same name once a bare COMn has its device
// prefix (\\.\COMn) and case is ignored. Prints nothing.
bool com_IsPortFile(const char* port, const char* path, intptr_t handle);
