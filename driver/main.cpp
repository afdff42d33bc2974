// tarnload <com> <file.dfu>: the fixed chain of stages of one update run.
// Each stage prints its own diagnostics; this adds one summary line for the
// first stage that fails and turns the outcome into the exit status.
#include "console.h"
#include "dfu_file.h"
#include "dfu_update.h"
#include "platform_clock.h"
#include "platform_error.h"
#include "serial_port.h"
#include "trace.h"

namespace {
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;

int Finish(int status) {
    if (trace_On()) {
        trace_Event("run", "exit status %d", status);
    }
    return status;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        con_Print("Usage: tarnload.exe <com> <file.dfu>\n");
        return EXIT_FAILED;
    }
    trace_Start(argv[1]);
    plat_BeginRun();
    if (!com_Open(argv[1])) {
        con_Print("Cannot open com port \"%s\"\n", argv[1]);
        return Finish(EXIT_FAILED);
    }
    if (!dfufile_Open(argv[2], nullptr)) {
        con_Print("%s is not a valid DFU file\n", argv[2]);
        return Finish(EXIT_FAILED);
    }
    if (!dfu_Connect()) {
        con_Print("Cannot establish communication with device\n");
        return Finish(EXIT_FAILED);
    }
    if (!dfu_EnterIdle()) {
        con_Print("Cannot bring device into dfuIDLE state\n");
        return Finish(EXIT_FAILED);
    }
    if (!dfu_DownloadImage()) {
        con_Print("Download failed\n");
        plat_ReportLastError();
        return Finish(EXIT_FAILED);
    }
    con_Print("Operation complete, the new application should now be running\n");
    return Finish(EXIT_OK);
}
