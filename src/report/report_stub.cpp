// report_stub.cpp - minimal reporter until the report module lands: it only
// keeps the state order.
#include "report/report.h"

static int g_state = REPORT_IDLE;

void report_begin(const char*, const char*, const blob_list*, int64_t, uint32_t, const unsigned char*, int) {
    g_state = g_state == REPORT_IDLE ? REPORT_BEGUN : REPORT_BROKEN;
}
void report_session(const ctfs_session*) { g_state = g_state == REPORT_BEGUN ? REPORT_IN_SESSION : REPORT_BROKEN; }
void report_counting(uint64_t, uint64_t, const char*) {
    g_state = g_state == REPORT_IN_SESSION ? REPORT_COUNTING : REPORT_BROKEN;
}
void report_transferred() {}
void report_up_to_date() {}
void report_file_error_errno(const char*, int) {}
void report_file_error_code(const char*, int) {}
void report_success(uint64_t) { g_state = g_state == REPORT_COUNTING ? REPORT_IDLE : REPORT_BROKEN; }
void report_fail_code(int) { report_fail_text(""); }
void report_fail_text(const char*) {
    g_state = (g_state >= REPORT_BEGUN && g_state <= REPORT_COUNTING) ? REPORT_IDLE : REPORT_BROKEN;
}
int report_state_get() { return g_state; }
