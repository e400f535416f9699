// progress_stub.cpp - placeholder until the progress area lands.
#include "agent/progress.h"

int progress_open() { return -1; }
void progress_close() {}
void progress_set_status(const char*) {}
void progress_set_job_name(const char*) {}
void progress_begin_item(const char*, uint64_t) {}
void progress_item_bytes(uint64_t) {}
void progress_end_item(int) {}
void progress_set_total(uint64_t) {}
void progress_set_start_tick(uint32_t) {}
void progress_complete() {}
bool terminate_requested() { return false; }
