#pragma once
// The command line as UTF-8 text on every system, so that a port or file
// name outside the local code page arrives as typed and prints back as
// typed. POSIX: argv is the bytes typed already; nothing changes. Windows:
// argv is rebuilt from the wide command line in static storage, the files
// are opened through the wide-character calls (their UTF-8 names converted
// where they are opened), and the console is told to show UTF-8 until the
// process ends.

// Called by main before anything else reads the arguments. Leaves argv as
// it was when the wide command line cannot be had or does not fit the
// storage. Prints nothing.
void plat_Utf8Arguments(int argc, char*** argv);

// Gives the console back the output code page it had before
// plat_Utf8Arguments (Windows; nothing elsewhere). A normal exit does it by
// itself; a console event or crash handler that ends the process at once
// calls it. Prints nothing.
void plat_RestoreConsoleOutput();
