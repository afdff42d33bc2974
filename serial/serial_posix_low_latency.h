#pragma once
// Asks the driver to hand over received bytes at once instead of batching
// them (USB serial adapters otherwise hold short replies for up to 16 ms).
// Only where the system has such a setting; a refusal is ignored, and it
// never changes the OS error the program reports.
void com_RequestLowLatency(int fd);
