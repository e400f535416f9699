// schedule_path.h - which file a tool means by the schedule it was given.
#pragma once

#include <string>

// The caller's path, or, when nothing is there and the path is relative, the
// schedule of that name in the installation folder root (where the agent
// runs), such as a bare file name. An empty root is the current folder.
std::string schedule_path_in(const std::string& root, const std::string& given);
