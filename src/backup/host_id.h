// host_id.h - the 20-byte host id: the SHA-1 of a fixed host record of a few
// stable machine facts, and the logical drive list it draws the volume serial
// from. Every fact is optional; a missing one leaves its field zero and the id
// is still computed. Nothing is logged.
#pragma once

#include "common/blob_list.h"

#include <cstddef>
#include <cstdint>

struct host_record {
    uint8_t memory[8];      // total physical memory, 64-bit little-endian (32-bit figure)
    char processor[4096];   // PROCESSOR_IDENTIFIER
    char adapter[40];       // "00-1a-2b-3c-4d-5e"
    char volume_serial[40]; // "%04X-%04X" of the Windows drive
    char product_id[40];
    char hw_profile[40];
};
static_assert(sizeof(host_record) == 4264, "host record size");
static_assert(offsetof(host_record, processor) == 8, "host record layout");
static_assert(offsetof(host_record, adapter) == 4104, "host record layout");
static_assert(offsetof(host_record, volume_serial) == 4144, "host record layout");
static_assert(offsetof(host_record, product_id) == 4184, "host record layout");
static_assert(offsetof(host_record, hw_profile) == 4224, "host record layout");

enum { DRIVE_KIND_UNKNOWN = 0, DRIVE_KIND_FLOPPY = 1 }; // other kinds: platform.h

struct drive_info {
    int32_t kind;
    char volume_name[64];
    char root[128];
    char serial[64];
    char file_system[16];
};

// Zero-fills the record, then fills memory, adapter, processor,
// volume_serial, hw_profile and product_id in that order. Cannot fail.
void host_record_fill(host_record* r);
// SHA-1 of a freshly filled record into out.
void host_id_compute(uint8_t out[20]);
// A new list (room 5, growth 5) of drive_info copies for every logical drive,
// in the platform's order; floppy roots are listed with kind 1 and never
// queried. Never null; the caller frees it with blob_list_free.
blob_list* drive_list_build();
// The first three characters of the Windows directory ("C:\"), computed on
// first use and kept for the life of the process (a static buffer; "/" on
// Linux, empty when the directory cannot be read). Not guarded between
// threads.
const char* windows_root();

// Formatting helpers, exposed for tests.
// "%02x" for the first byte, "-%02x" for each later one, cut to fit size.
void host_format_adapter(const uint8_t* addr, size_t n, char* out, size_t size);
// "%04X-%04X" of the upper and lower half; out holds at least 10 bytes.
void host_format_serial(uint32_t serial, char* out, size_t size);
// "a:\", "a:", "b:\" or "b:" in either case.
bool host_is_floppy_root(const char* root);
