// Connecting to the device and bringing it into dfuIDLE.
#include "dfu_update.h"

#include "console.h"
#include "dfu_requests.h"
#include "dfu_transport.h"
#include "report.h"

namespace {

// Status checks after the first one: the device gets three at most, enough
// for application mode, then an error, then dfuIDLE.
constexpr int8_t EXTRA_PASSES = 2;

void PrintIdentity() {
    report_NoteDeviceIdentity(dfu_Vid(device_descriptor), dfu_Pid(device_descriptor));
    con_Print("VID: 0x%04X, PID: 0x%04X\n", dfu_Vid(device_descriptor), dfu_Pid(device_descriptor));
}

// The functional descriptor, noted for the run's report as it is read.
bool ReadFunctions() {
    if (!dfu_GetFunctionalDescriptor(&functional_descriptor)) {
        return false;
    }
    report_NoteDeviceFunctions(dfu_TransferSize(functional_descriptor),
                               dfu_Attributes(functional_descriptor));
    return true;
}

void PrintCapabilities() {
    const uint16_t attributes = dfu_Attributes(functional_descriptor);
    con_Print("DFU capabilities: %s%s%s%s\n",
              (attributes & DFU_ATTR_WILL_DETACH) ? "WillDetach " : "",
              (attributes & DFU_ATTR_MANIFEST_TOLERANT) ? "ManifestTollerant " : "",
              (attributes & DFU_ATTR_CAN_UPLOAD) ? "Upload " : "",
              (attributes & DFU_ATTR_CAN_DOWNLOAD) ? "Download " : "");
}

// Detaches a device running its application and reconnects to the DFU-mode
// firmware, whose descriptors replace the application's.
bool DetachAndReconnect() {
    if (!dfu_Detach(dfu_DetachTimeout(functional_descriptor))) {
        return false;
    }
    if (!(dfu_Attributes(functional_descriptor) & DFU_ATTR_WILL_DETACH)) {
        dfu_ResetDevice();
    }
    if (!dfu_EstablishLink()) {
        return false;
    }
    con_Print("BCSP communication re-established\n");
    if (!dfu_GetDeviceDescriptor(&device_descriptor)) {
        con_Print("Cannot read device descriptor\n");
        return false;
    }
    PrintIdentity();
    if (!ReadFunctions()) {
        return false;
    }
    PrintCapabilities();
    con_Print("MTU %d bytes\n", dfu_TransferSize(functional_descriptor));
    return true;
}

} // namespace

bool dfu_Connect() {
    if (!dfu_EstablishLink()) {
        return false;
    }
    con_Print("BCSP communication established\n");
    if (!dfu_GetDeviceDescriptor(&device_descriptor)) {
        return false;
    }
    PrintIdentity();
    if (!ReadFunctions()) {
        return false;
    }
    con_Print("Max detach timeout %d ms\n", dfu_DetachTimeout(functional_descriptor));
    con_Print("MTU %d bytes\n", dfu_TransferSize(functional_descriptor));
    return true;
}

bool dfu_EnterIdle() {
    DfuStatus device_status{};
    for (int8_t passes = EXTRA_PASSES;; --passes) {
        if (!dfu_GetStatus(&device_status)) {
            con_Print("Unable to get status of device\n");
            return false;
        }
        switch (device_status.state) {
        case DFU_STATE_IDLE:
            con_Print("Device in DFU mode\n");
            return true;
        case DFU_STATE_ERROR:
            con_Print("Device in error state - clearing error\n");
            if (!dfu_ClearStatus()) {
                return false;
            }
            break;
        case DFU_STATE_APP_IDLE:
            con_Print("Device in App mode - executing detach\n");
            if (!DetachAndReconnect()) {
                return false;
            }
            break;
        default:
            con_Print("Device in unexpected state - resetting\n");
            dfu_ResetDevice();
            if (!dfu_EstablishLink()) {
                return false;
            }
            break;
        }
        if (passes <= 0) {
            return false;
        }
    }
}
