// tarnload <com> <file.dfu>: the fixed chain of stages of one update run.
// Each stage prints its own diagnostics; this adds one summary line for the
// first stage that fails and turns the outcome into the exit status.
#include "console.h"
#include "dfu_file.h"
#include "dfu_update.h"
#include "net_port.h"
#include "platform_arguments.h"
#include "platform_clock.h"
#include "platform_std_streams.h"
#include "report.h"
#include "run_last_error.h"
#include "run_signals.h"
#include "serial_port.h"
#include "serial_same_file.h"
#include "text_escape.h"
#include "trace.h"

namespace {
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;

int Finish(int status) {
    if (trace_On()) {
        trace_Event("run", "exit status %d", status);
    }
    trace_End();
    report_End(status);
    return status;
}

// The stages after the port is open; every way out of them leaves through
// main, which puts the port back as it was found.
int RunWithPort(char** argv) {
    report_NoteStage(REPORT_FILE);
    if (!dfufile_Open(argv[2], nullptr)) {
        char shown[TEXT_SHOWN_NAME_SIZE];
        con_Print("%s is not a valid DFU file\n", text_ShownName(argv[2], shown, sizeof shown));
        return EXIT_FAILED;
    }
    report_NoteStage(REPORT_LINK);
    if (!dfu_Connect()) {
        con_Print("Cannot establish communication with device\n");
        return EXIT_FAILED;
    }
    report_NoteStage(REPORT_IDLE);
    if (!dfu_EnterIdle()) {
        con_Print("Cannot bring device into dfuIDLE state\n");
        return EXIT_FAILED;
    }
    report_NoteStage(REPORT_DOWNLOAD);
    run_MarkUpdateInProgress(true);
    const bool downloaded = dfu_DownloadImage();
    run_MarkUpdateInProgress(false);
    if (!downloaded) {
        con_Print("Download failed\n");
        run_ReportLastError();
        return EXIT_FAILED;
    }
    con_Print("Operation complete, the new application should now be running\n");
    return EXIT_OK;
}

} // namespace

int main(int argc, char** argv) {
    plat_GuardStandardStreams();
    plat_Utf8Arguments(argc, &argv);
    // Before anything is written anywhere: a reader gone must not end the run.
    run_InstallSignals();
    con_Init();
    report_Start(argc > 1 ? argv[1] : nullptr, argc == 3 ? argv[2] : nullptr, com_IsPortFile);
    if (argc != 3) {
        con_Print("Usage: tarnload.exe <com> <file.dfu>\n");
        return Finish(EXIT_FAILED);
    }
    trace_Start(argv[1], com_IsPortFile);
    plat_BeginRun();
    com_AddBackend(net_PortBackend());
    report_NoteStage(REPORT_PORT);
    if (!com_Open(argv[1])) {
        char shown[TEXT_SHOWN_NAME_SIZE];
        con_Print("Cannot open com port \"%s\"\n", text_ShownName(argv[1], shown, sizeof shown));
        return Finish(EXIT_FAILED);
    }
    // A name resolved to a device has noted that device already.
    report_NotePortOpened(argv[1]);
    const int status = RunWithPort(argv);
    com_Close();
    return Finish(status);
}
