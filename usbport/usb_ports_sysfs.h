#pragma once
// The Linux listing reads sysfs under "/" unless told otherwise: the seam
// that lets tests give it a tree of their own (ROOT/sys/class/tty/...).

// Lists from under `root` from now on; nullptr or "" puts back "/".
void usb_SetSysfsRoot(const char* root);
