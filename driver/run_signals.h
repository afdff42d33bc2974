#pragma once
// How a run ends when it is stopped from outside: Ctrl-C, SIGTERM, SIGQUIT
// (Ctrl-backslash), a closed terminal (SIGHUP) or, on Windows, the console's
// control events. Whatever the moment, the port gets back its original
// settings and its exclusive use is cleared before the process ends with
// status 1; SIGQUIT then ends it as SIGQUIT does (its default action, a
// core dump where those are enabled).

// Installs the handlers and makes output failures harmless: SIGPIPE is
// ignored, so a reader that goes away (`tarnload ... | head -1`) never cuts
// a download short. Called once by main before the port is opened.
void run_InstallSignals();

// Marks the span in which the device holds part of a new image. A SIGINT,
// SIGTERM or SIGQUIT (Windows: Ctrl-C, Ctrl-Break) inside it prints
// "\nInterrupted: the device was left in the middle of an update; running
// the same command again completes it\n" before the port is restored; one
// before the span first began prints "Interrupted: the device was not
// changed\n" (after a line break when the console is mid-line); one after
// it prints nothing. SIGHUP prints nothing: its terminal is gone.
void run_MarkUpdateInProgress(bool in_progress);
