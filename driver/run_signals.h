#pragma once
// How a run ends when it is stopped from outside: Ctrl-C, SIGTERM, a
// closed terminal (SIGHUP) or, on Windows, the console's control events.
// Whatever the moment, the port gets back its original settings and its
// exclusive use is cleared before the process ends with status 1.

// Installs the handlers and makes output failures harmless: SIGPIPE is
// ignored, so a reader that goes away (`tarnload ... | head -1`) never cuts
// a download short. Called once by main before the port is opened.
void run_InstallSignals();

// Marks the span in which the device holds part of a new image. A SIGINT or
// SIGTERM (Windows: Ctrl-C, Ctrl-Break) inside it prints
// "\nInterrupted: the device was left in the middle of an update; running
// the same command again completes it\n" before the port is restored.
void run_MarkUpdateInProgress(bool in_progress);
