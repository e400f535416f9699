// path_style.cpp - the build's own path style.
#include "backup/path_style.h"

#include "platform/platform.h"

path_style native_path_style() { return plat_is_windows ? PATH_STYLE_WINDOWS : PATH_STYLE_POSIX; }

char path_separator(path_style style) { return style == PATH_STYLE_WINDOWS ? '\\' : '/'; }
