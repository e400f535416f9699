// report.h - the job's statistics and result, one record per process.
//
// Calls must come in their order (begin, session, counting, per-file calls,
// then success or failure); a call out of order silences the reporter
// (state 4) instead of producing a wrong report.
#pragma once

#include "common/blob_list.h"

#include <cstdint>

struct ctfs_session;

enum report_state { REPORT_IDLE = 0, REPORT_BEGUN = 1, REPORT_IN_SESSION = 2, REPORT_COUNTING = 3, REPORT_BROKEN = 4 };

void report_begin(const char* queue_path, const char* job_name, const blob_list* recipients, int64_t schedule_id,
                  uint32_t user_id, const unsigned char digest[20], int default_flags);
void report_session(const ctfs_session* session);
void report_counting(uint64_t files_requested, uint64_t start_size, const char* destination);
void report_transferred();
void report_up_to_date();
void report_file_error_errno(const char* path, int errnum);
void report_file_error_code(const char* path, int code);
void report_success(uint64_t stop_size);
void report_fail_code(int code);
void report_fail_text(const char* message);
int report_state_get();
