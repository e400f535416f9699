// server_names.h - where a source is stored on the server.
//
// Pure text functions over local paths in an explicit style, so that both the
// Windows forms (drive "C:\...", share "\\server\share\...") and the POSIX
// form ("/...") are handled, and tested, on every platform. Server paths
// always use "/".
#pragma once

#include "backup/path_style.h"

#include <string>
#include <vector>

// True when a "mirror=" value (null when absent) reads as a non-zero decimal number.
bool mirror_setting(const char* value);

// The server name of a source or filtered folder, written below the
// destination folder. With mirroring on: "C:\rest" -> "C Drive/rest",
// "\\server\share\rest" -> "server share Share/rest", "\\server\share" ->
// "server share Share/", and on POSIX "/rest" -> "Root/rest"; every other
// form has no server name (-1, the item is skipped without a message). With
// mirroring off: the part after the last separator; a Windows path without
// one loses a leading drive ("C:name" -> "name"). 0 with *name set, or -1.
int server_name_form(const char* local_path, bool mirror, path_style style, std::string* name);

// The remote folders to make before an item is stored under remote_base +
// name (remote_base: the destination with its trailing "/"): the path cut at
// each "/" of name, outermost first. The item's own folder is not included
// unless name ends with "/".
std::vector<std::string> server_parent_folders(const std::string& remote_base,
                                               const std::string& name);

// The server names given out in one job, so that an item the server would
// store under a name that another item holds already (two sources "/x/docs"
// and "/y/docs" without mirroring share the name "docs") is refused rather
// than mixed into the other's folder, where a mirrored run would delete the
// other's files. The first item in job order keeps the name.
struct server_name_use {
    std::string name;  // below the destination
    std::string local; // the item that took it
};

// Takes name for the item local. Returns the local path of the item that
// holds name already when that is another item (the name stays with it);
// null when name was free (it is now local's) or local holds it itself.
const char* server_name_claim(std::vector<server_name_use>* taken, const std::string& name,
                              const char* local, path_style style);

// Share-root completion before a status read: a Windows path that is exactly
// "\\server\share" (no further backslash) gets a trailing backslash; every
// other path, and every POSIX path, comes back unchanged.
std::string share_root_complete(const char* local_path, path_style style);
