// cluster.h - cluster sizes of volumes and the space a file takes on disk.
//
// The size on disk that the backup reports is the file size rounded up to
// whole clusters of the volume holding it.
#pragma once

#include "backup/path_style.h"

#include <cstddef>
#include <cstdint>

// Bytes per cluster of the volume holding path; 0 when unknown. Drive letters
// (Windows) and devices (Linux) are cached.
uint32_t cluster_size(const char* path);
// The folder to query for path's volume: "X:\", "\\srv\share\" or "" for the
// current volume (Windows style); path itself in POSIX style.
void cluster_query_root(const char* path, path_style style, char* out, size_t out_size);
// size rounded up to whole clusters; size itself when either is not positive.
int64_t size_on_disk(int64_t size, int64_t cluster);
