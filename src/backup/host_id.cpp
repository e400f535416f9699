// host_id.cpp - the host record, its digest and the drive list.
#include "backup/host_id.h"

#include "common/text.h"
#include "platform/platform.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

void host_format_adapter(const uint8_t* addr, size_t n, char* out, size_t size) {
    if (size == 0) return;
    out[0] = 0;
    size_t used = 0;
    for (size_t i = 0; i < n; i++) {
        char piece[4];
        snprintf(piece, sizeof piece, i == 0 ? "%02x" : "-%02x", addr[i]);
        size_t len = strlen(piece);
        if (used + len > size - 1) break;
        memcpy(out + used, piece, len + 1);
        used += len;
    }
}

void host_format_serial(uint32_t serial, char* out, size_t size) {
    snprintf(out, size, "%04X-%04X", serial >> 16, serial & 0xFFFFu);
}

bool host_is_floppy_root(const char* root) {
    return compare_nocase(root, "a:\\") == 0 || compare_nocase(root, "a:") == 0 ||
           compare_nocase(root, "b:\\") == 0 || compare_nocase(root, "b:") == 0;
}

const char* windows_root() {
    static char root[4];
    static bool done = false;
    if (!done) {
        char dir[512];
        if (plat_windows_directory(dir, sizeof dir) == 0) {
            strncpy(root, dir, 3);
            root[3] = 0;
        }
        done = true;
    }
    return root;
}

blob_list* drive_list_build() {
    blob_list* list = blob_list_new(5, 5, nullptr);
    char roots[512];
    size_t used = plat_drive_roots(roots, sizeof roots);
    roots[sizeof roots - 1] = 0;
    roots[sizeof roots - 2] = 0;
    for (const char* at = roots; at < roots + used && *at; at += strlen(at) + 1) {
        drive_info d;
        memset(&d, 0, sizeof d);
        copy_bounded(d.root, sizeof d.root, at);
        if (host_is_floppy_root(at)) {
            d.kind = DRIVE_KIND_FLOPPY;
        } else {
            d.kind = plat_drive_kind(at);
            uint32_t serial = 0;
            if (plat_volume_info(at, d.volume_name, sizeof d.volume_name, &serial, d.file_system,
                                 sizeof d.file_system) == 0)
                host_format_serial(serial, d.serial, sizeof d.serial);
        }
        blob_list_insert(list, &d, sizeof d, blob_list_count(list));
    }
    return list;
}

static void fill_volume_serial(char* field, size_t size) {
    blob_list* drives = drive_list_build();
    const char* win = windows_root();
    for (int32_t i = 0; i < blob_list_count(drives); i++) {
        const drive_info* d = static_cast<const drive_info*>(blob_list_get(drives, i));
        if (win[0] && compare_nocase(d->root, win) == 0) {
            copy_bounded(field, size, d->serial);
            break;
        }
    }
    blob_list_free(drives);
}

void host_record_fill(host_record* r) {
    memset(r, 0, sizeof *r);
    uint32_t mem = plat_host_total_memory();
    for (int i = 0; i < 4; i++)
        r->memory[i] = static_cast<uint8_t>(mem >> (8 * i));
    uint8_t addr[8];
    int n = plat_host_adapter_address(addr, sizeof addr);
    if (n > 0) host_format_adapter(addr, static_cast<size_t>(n), r->adapter, sizeof r->adapter);
    plat_host_env("PROCESSOR_IDENTIFIER", r->processor, sizeof r->processor);
    fill_volume_serial(r->volume_serial, sizeof r->volume_serial);
    plat_host_hw_profile(r->hw_profile, sizeof r->hw_profile);
    // Offered 39 bytes, so a terminating zero always fits.
    plat_host_product_id(r->product_id, sizeof r->product_id);
}

void host_id_compute(uint8_t out[20]) {
    host_record r;
    host_record_fill(&r);
    unsigned int len = 20;
    EVP_Digest(&r, sizeof r, out, &len, EVP_sha1(), nullptr);
}
