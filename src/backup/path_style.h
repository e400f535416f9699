// path_style.h - the two styles of local paths.
//
// Windows style: '\', drive "C:" and "\\server\share" roots, case ignored.
// POSIX style: '/', one root, exact comparison. Path functions take a style
// so that both are handled, and tested, on every platform.
#pragma once

enum path_style { PATH_STYLE_WINDOWS, PATH_STYLE_POSIX };

// The style of this build's local paths.
path_style native_path_style();
char path_separator(path_style style);
