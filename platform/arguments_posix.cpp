// POSIX arguments are the bytes typed: nothing to convert.
#include "platform_arguments.h"

void plat_Utf8Arguments(int, char***) {}

void plat_RestoreConsoleOutput() {}
