// host.cpp - Windows: the facts that identify the machine (memory, processor
// identifier, first adapter address, volumes, product id, hardware profile).
#include "common/text.h"
#include "platform/platform.h"

#include "common/owner.h"
#include "platform/win32/handle.h"

#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

uint32_t plat_host_total_memory() {
    MEMORYSTATUS ms;
    memset(&ms, 0, sizeof ms);
    ms.dwLength = sizeof ms;
    GlobalMemoryStatus(&ms);
    return static_cast<uint32_t>(ms.dwTotalPhys);
}

int plat_host_env(const char* name, char* buf, size_t size) {
    copy_bounded(buf, size, "");
    const char* v = getenv(name);
    if (!v) return -1;
    copy_bounded(buf, size, v);
    return 0;
}

typedef DWORD(WINAPI* get_adapters_info_fn)(PIP_ADAPTER_INFO, PULONG);

int plat_host_adapter_address(uint8_t* addr, size_t cap) {
    win32::module_handle lib(LoadLibraryA("Iphlpapi.dll"));
    if (!lib) return -1;
    get_adapters_info_fn get = reinterpret_cast<get_adapters_info_fn>(
        reinterpret_cast<void*>(GetProcAddress(lib.get(), "GetAdaptersInfo")));
    if (!get) return -1;
    ULONG size = 0;
    if (get(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return -1;
    owner<IP_ADAPTER_INFO, free> info(static_cast<PIP_ADAPTER_INFO>(calloc(1, size)));
    if (!info) return -1;
    int result = -1;
    if (get(info.get(), &size) == NO_ERROR) {
        size_t n = info->AddressLength;
        if (n > sizeof info->Address) n = sizeof info->Address;
        if (n > cap) n = cap;
        memcpy(addr, info->Address, n);
        result = static_cast<int>(n);
    }
    return result;
}

int plat_host_product_id(char* buf, size_t size) {
    copy_bounded(buf, size, "");
    if (size < 2) return -1;
    HKEY opened;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                      KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return -1;
    win32::registry_key key(opened);
    DWORD type = 0;
    DWORD len = static_cast<DWORD>(size - 1); // room for a terminator always
    LONG rc = RegQueryValueExA(key.get(), "ProductId", nullptr, &type, reinterpret_cast<BYTE*>(buf),
                               &len);
    key.reset();
    if (rc != ERROR_SUCCESS || type != REG_SZ) {
        copy_bounded(buf, size, "");
        return -1;
    }
    buf[len < size ? len : size - 1] = 0;
    return 0;
}

int plat_host_hw_profile(char* buf, size_t size) {
    copy_bounded(buf, size, "");
    HW_PROFILE_INFOA info;
    if (!GetCurrentHwProfileA(&info)) return -1;
    copy_bounded(buf, size, info.szHwProfileGuid);
    return 0;
}

int plat_windows_directory(char* buf, size_t size) {
    copy_bounded(buf, size, "");
    UINT n = GetWindowsDirectoryA(buf, static_cast<UINT>(size));
    if (n == 0 || n >= size) {
        copy_bounded(buf, size, "");
        return -1;
    }
    return 0;
}

size_t plat_drive_roots(char* buf, size_t size) {
    DWORD n = GetLogicalDriveStringsA(static_cast<DWORD>(size > 1 ? size - 1 : 0), buf);
    if (n == 0 || n >= size) return 0;
    buf[n] = 0;
    return n;
}

int plat_drive_kind(const char* root) {
    switch (GetDriveTypeA(root)) {
    case DRIVE_FIXED:
        return PLAT_DRIVE_FIXED;
    case DRIVE_CDROM:
        return PLAT_DRIVE_CDROM;
    case DRIVE_REMOVABLE:
        return PLAT_DRIVE_REMOVABLE;
    case DRIVE_RAMDISK:
        return PLAT_DRIVE_RAMDISK;
    case DRIVE_REMOTE:
        return PLAT_DRIVE_REMOTE;
    default:
        return PLAT_DRIVE_UNKNOWN;
    }
}

int plat_volume_info(const char* root, char* label, size_t label_size, uint32_t* serial,
                     char* fs_name, size_t fs_size) {
    copy_bounded(label, label_size, "");
    copy_bounded(fs_name, fs_size, "");
    DWORD sn = 0, max_len = 0, flags = 0;
    if (!GetVolumeInformationA(root, label, static_cast<DWORD>(label_size), &sn, &max_len, &flags,
                               fs_name, static_cast<DWORD>(fs_size)))
        return -1;
    *serial = sn;
    return 0;
}
