#pragma once
// The run's stages that talk to the device: connect, bring into dfuIDLE,
// download and manifest.

// Brings the link up and reads the device's identity and capabilities
// into the module-level descriptors. Prints "BCSP communication
// established\n", "VID: 0x%04X, PID: 0x%04X\n", "Max detach timeout %d
// ms\n" and "MTU %d bytes\n" as it goes. False on any failure, with no line
// of its own (lower layers print why).
bool dfu_Connect();

// Drives the device into dfuIDLE in at most three status checks: clears an
// error (CLRSTATUS), detaches a running application (DETACH, the reset
// request unless the device detaches by itself, a new link, descriptors
// read again and printed), or resets a device in any other state. True once
// the device reports dfuIDLE ("Device in DFU mode\n"). False on a failed
// request, with "Unable to get status of device\n" or "Cannot read device
// descriptor\n" where those fail, or silently after three checks.
bool dfu_EnterIdle();

// Streams the open firmware file's image in DNLOAD blocks of the device's
// transfer size (at most 230), waiting after each until the device is
// ready, then the end-of-image block; follows manifestation; unless the
// device waits for a reset, sends the reset request and prints the timing
// report. Prints the progress (a dot per block, the byte total every 50
// blocks; on a terminal each dot is flushed at once) and every failure
// line. False on any failure, including a device announcing transfer size
// 0 for a non-empty image and a firmware file read error (no end-of-image
// block is sent then).
bool dfu_DownloadImage();
