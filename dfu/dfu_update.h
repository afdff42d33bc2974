#pragma once
// The run's stages that talk to the device: connect, bring into dfuIDLE,
// download and manifest.

// Brings the link up and reads and prints the device's identity and
// capabilities. False on any failure (lower layers print why).
bool dfu_Connect();

// Drives the device into dfuIDLE (detaching it from its application, or
// clearing an error) in at most three status checks. True in dfuIDLE.
bool dfu_EnterIdle();

// Streams the firmware image, follows manifestation, resets the device and
// prints the timing report. False on any failure.
bool dfu_DownloadImage();
