// filters.h - which local paths a job may back up.
//
// Pure string functions over paths in a given style, plus the built-in
// exclusions. The job-wide lists (excluded sources, sync folders, folder
// filters) are owned by the job and passed in; nothing here keeps them.
// Windows style: '\', drive "C:" and "\\server\share" roots, case ignored.
// POSIX style: '/', one root, exact comparison.
#pragma once

#include "backup/schedule/filter_value.h"
#include "backup/path_style.h"
#include "common/blob_list.h"

// 2 when path equals base, 1 when path lies below base, else 0. "Below" means
// path begins with base and the next character is a separator, or base is a
// bare drive ("C:") or ends in a separator (a root such as "C:\" or "/").
// An empty base contains nothing.
int path_at_or_below(const char* base, const char* path, path_style style = native_path_style());

// True when path is at or below one entry of the list (of path strings).
bool is_excluded_source(const blob_list* excluded, const char* path,
                        path_style style = native_path_style());
bool is_sync_folder(const blob_list* sync, const char* path,
                    path_style style = native_path_style());

// The filter whose folder equals path (whole string), or null.
const folder_filter* find_folder_filter(const blob_list* filters, const char* path,
                                        path_style style = native_path_style());
bool has_folder_filter(const blob_list* filters, const char* path,
                       path_style style = native_path_style());

// True when the file at path is to be skipped under filter; FILTER_INHERIT
// defers an unmatched name to the nearest ancestor folder with a filter in
// filters (none: the file passes). A path without a separator is skipped.
bool filter_skips_file(const blob_list* filters, const folder_filter* filter, const char* path,
                       path_style style = native_path_style());

// The name rules of the built-in exclusions: shortcut folders (a list of
// paths, may be null), the system folder and file names and "*.lnk".
// A path without a separator is excluded (with a debug-output line).
bool builtin_exclusion_by_name(const char* path, bool is_directory, path_style style,
                               const blob_list* shortcut_folders);

// True for file system types that are views of the kernel (proc, sysfs, ...).
bool is_pseudo_fs_type(const char* type);

// Native check used by the walk, the file backup and the scan: the name rules
// with this machine's shortcut folders, and on Linux folders on pseudo file
// systems.
bool is_builtin_exclusion(const char* path, bool is_directory);

// The folders the Windows shell turns into folder shortcuts (found once per
// process below the profiles root; empty on Linux). Owned by this module and
// valid for the life of the process; never null. The first call builds it,
// unguarded between threads.
const blob_list* folder_shortcut_folders();

// True when the "desktop.ini" at path marks its folder as a folder shortcut.
// An unreadable file gives false and leaves errno as it was.
bool desktop_ini_marks_shortcut(const char* path);
