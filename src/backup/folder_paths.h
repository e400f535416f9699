// folder_paths.h - absolute folder paths and the folder holding a file.
//
// A relative path is resolved by the system (by entering the folder), so the
// result names the folder as the system sees it; the parent is then cut from
// the absolute path by text alone.
#pragma once

#include "backup/path_style.h"

#include <cstddef>

enum { FOLDER_PATH_SIZE = 4096 }; // the longest path these functions resolve

// Absolute form of a folder path into out: a path already rooted (Windows
// "X:\" or "\\", POSIX "/") is copied; anything else is resolved by entering
// it and reading the current directory back (then restored). out on success;
// null on failure (empty path: EINVAL; too long: ERANGE).
char* absolute_folder_path(const char* path, char* out, size_t out_size);
// The folder holding the file at path, absolute; its length, or 0 (a root has
// no parent; resolution failure).
size_t parent_folder(char* out, size_t out_size, const char* path);
// The same on an already absolute path, pure; used by parent_folder.
size_t parent_of_absolute(char* out, size_t out_size, const char* absolute, path_style style);
