#pragma once
// The standard streams of a process started with some of them closed
// (`tarnload PORT f.dfu >&-`, a daemon, a job runner).

// Called first by main, before anything is opened. POSIX: each of
// descriptors 0, 1 and 2 that is closed is opened on /dev/null, so that
// the port, the firmware file or the trace can never take its number and
// receive the console lines or the trace meant for it. Windows: nothing to
// do (see std_streams_win32.cpp). Prints nothing; a descriptor that cannot
// be opened stays closed.
void plat_GuardStandardStreams();
