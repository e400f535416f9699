// ctl_tree.h - a folder of the server as it stood at a run's end or at a
// time, read page after page, and the tree below it; shared by ls, diff,
// restore and verify.
#pragma once

#include "protocol/read_client.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Which tree: the end of run (run != 0), the time at, or now (both 0).
struct ctl_point {
    uint64_t run = 0;
    int64_t at = 0;
};

// Every entry of the folder path, page after page (flags: READ_FOLDER_*).
// *listed_at gets the time the server listed (may be null).
tfs_result ctl_list_folder(ctfs_session* s, const ctl_point& p, const std::string& path,
                           uint8_t flags, std::vector<read_entry>* out, int64_t* listed_at);

// Calls visit for every entry below path, depth first, each with its full
// server path ("a/b"); folders before their contents. A visit that returns
// false stops the walk. The listing's failure, or ERR_NONE.
tfs_result ctl_walk(ctfs_session* s, const ctl_point& p, const std::string& path, uint8_t flags,
                    const std::function<bool(const std::string&, const read_entry&)>& visit);

// The server path of a child.
std::string ctl_child(const std::string& folder, const std::string& name);
