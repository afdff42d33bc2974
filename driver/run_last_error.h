#pragma once
// The run's closing report of the platform layer's last OS error, printed
// after a failed download.

// Prints "Last windows error: %s" with the system's text for plat_LastError()
// (a line break is added when the text has none), through con_Print.
// Prints nothing when the last error is 0.
void run_ReportLastError();
