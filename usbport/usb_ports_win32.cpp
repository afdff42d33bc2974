// The Windows listing, through SetupAPI: every present device of the Ports
// class with a COMn name (its registry PortName), and for a USB adapter the
// identity its instance ID and its parents' carry (usb_instance_id.h), with
// the USB device's location paths and its strings.
#include "usb_instance_id.h"
#include "usb_name.h"
#include "usb_ports.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>

namespace {

// The Ports (COM & LPT) device class; named here rather than through
// devguid.h, which would need the GUID's storage defined in some file.
constexpr GUID PORTS_CLASS = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// The product string the USB device itself reports (Windows 7 and later);
// the device description is the driver's own text.
constexpr DEVPROPKEY BUS_REPORTED_DESCRIPTION = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};

// Device node, then its parents: an FTDI port of a multi-port chip is three
// levels below the USB device (port, interface, device).
constexpr size_t CHAIN_MAX = 4;

// A registry string property of `node` into `out`; for a list of strings,
// the first. False when it has none.
bool node_text(DEVINST node, ULONG property, char* out, size_t size) {
    char buffer[1024];
    ULONG length = sizeof buffer - 2;
    ULONG type = 0;
    if (CM_Get_DevNode_Registry_PropertyA(node, property, &type, buffer, &length, 0) !=
            CR_SUCCESS ||
        (type != REG_SZ && type != REG_MULTI_SZ)) {
        return false;
    }
    buffer[length] = '\0';
    buffer[length + 1] = '\0';
    std::snprintf(out, size, "%s", buffer);
    return out[0] != '\0';
}

bool node_reported_description(DEVINST node, char* out, size_t size) {
    WCHAR wide[USB_TEXT_SIZE];
    ULONG length = sizeof wide - sizeof(WCHAR);
    DEVPROPTYPE type = 0;
    if (CM_Get_DevNode_PropertyW(node, &BUS_REPORTED_DESCRIPTION, &type,
                                 reinterpret_cast<BYTE*>(wide), &length, 0) != CR_SUCCESS ||
        type != DEVPROP_TYPE_STRING) {
        return false;
    }
    wide[length / sizeof(WCHAR)] = L'\0';
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, static_cast<int>(size), nullptr,
                               nullptr) > 1;
}

// The COMn name of a Ports device; false for an LPT port or one without.
bool port_name(HDEVINFO set, SP_DEVINFO_DATA* info, char* out, size_t size) {
    HKEY key = SetupDiOpenDevRegKey(set, info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD length = static_cast<DWORD>(size - 1);
    DWORD type = 0;
    const LONG status =
        RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(out), &length);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return false;
    }
    out[length] = '\0';
    return _strnicmp(out, "COM", 3) == 0;
}

void read_identity(DEVINST node, UsbPort* port) {
    char ids[CHAIN_MAX][MAX_DEVICE_ID_LEN];
    const char* chain[CHAIN_MAX];
    DEVINST nodes[CHAIN_MAX];
    size_t count = 0;
    while (count < CHAIN_MAX &&
           CM_Get_Device_IDA(node, ids[count], MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS) {
        ids[count][MAX_DEVICE_ID_LEN - 1] = '\0';
        chain[count] = ids[count];
        nodes[count] = node;
        ++count;
        if (CM_Get_Parent(&node, node, 0) != CR_SUCCESS) {
            break;
        }
    }
    const int device_index = usb_IdentityFromInstanceIds(chain, count, port);
    if (device_index < 0) {
        return;
    }
    const DEVINST device = nodes[device_index];
    node_text(device, CM_DRP_LOCATION_INFORMATION, port->location_alt, sizeof port->location_alt);
    if (!node_text(device, CM_DRP_LOCATION_PATHS, port->location, sizeof port->location)) {
        std::memcpy(port->location, port->location_alt, sizeof port->location);
    }
    if (port->location[0] != '\0') {
        port->known |= USB_KEY_LOCATION;
    }
    node_text(device, CM_DRP_MFG, port->manufacturer, sizeof port->manufacturer);
    if (!node_reported_description(device, port->product, sizeof port->product)) {
        node_text(device, CM_DRP_DEVICEDESC, port->product, sizeof port->product);
    }
}

} // namespace

uint8_t usb_KeysKnown() {
    return USB_KEY_VID | USB_KEY_PID | USB_KEY_SERIAL | USB_KEY_LOCATION | USB_KEY_INTERFACE;
}

int usb_ListPorts(UsbPort* ports, size_t max, char* error, size_t error_size) {
    HDEVINFO set = SetupDiGetClassDevsA(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        std::snprintf(error, error_size, "the system's device list cannot be read (error %lu)",
                      GetLastError());
        return -1;
    }
    size_t count = 0;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; count < max && SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        UsbPort* port = &ports[count];
        *port = UsbPort{};
        if (!port_name(set, &info, port->port, sizeof port->port)) {
            continue;
        }
        read_identity(info.DevInst, port);
        ++count;
    }
    SetupDiDestroyDeviceInfoList(set);
    usb_SortPorts(ports, count);
    return static_cast<int>(count);
}
