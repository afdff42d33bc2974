#pragma once
// How a run ends when it is stopped from outside or by its own crash. Every
// such ending goes through one function of the platform's file (EndRun in
// run_signals_posix.cpp / run_signals_win32.cpp): the line for where the run
// stands, then the port gets back its original settings and its exclusive
// use is cleared, then the process ends.
//
// POSIX: every signal whose default action ends the process is handled.
// Those that end it without a core dump (SIGINT, SIGTERM, SIGHUP, SIGUSR1,
// SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPOLL, SIGPWR,
// SIGSTKFLT, the real-time signals) end it with status 1; those that dump
// core (SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
// SIGSYS) are raised again with their default action, so a core dump still
// happens where enabled. The handler runs on a stack of its own, so a stack
// overflow reaches it too. Windows: the console's control events end the
// process with status 1; an exception nothing handled restores the port and
// then takes the system's own course.

// Installs the handlers and makes output failures harmless: SIGPIPE and
// SIGXFSZ are ignored, so a reader that goes away (`tarnload ... | head -1`)
// or a trace file over the size limit fails a write instead of cutting a
// download short. Called first by main, before anything is written.
void run_InstallSignals();

// Marks the span in which the device holds part of a new image. An ending
// inside it (any but SIGHUP; Windows: Ctrl-C, Ctrl-Break, a crash) prints
// "\nInterrupted: the device was left in the middle of an update; running
// the same command again completes it\n" before the port is restored; one
// before the span first began prints "Interrupted: the device was not
// changed\n" (after a line break when the console is mid-line); one after
// it prints nothing. SIGHUP and the console closing print nothing: the
// terminal is gone.
void run_MarkUpdateInProgress(bool in_progress);
