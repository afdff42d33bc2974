// Closed standard streams on Windows need no guard: handles are not handed
// out by lowest number as POSIX descriptors are. The port and the trace are
// opened with CreateFileW, whose handle becomes a standard handle only
// through SetStdHandle, which the program never calls; with a standard
// handle missing, GetStdHandle answers null and writes to it fail. The one
// file opened through the C runtime, the firmware, is opened for reading
// only, so even if it took a standard stream's descriptor no console line
// could be written into it.
#include "platform_std_streams.h"

void plat_GuardStandardStreams() {}
