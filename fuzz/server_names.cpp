// Fuzz target: source paths from a schedule file turned into server names,
// their parent folders and the share-root completion, in both path styles.
#include "backup/server_names.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    const char* text = path.c_str(); // stops at the first zero byte, as a schedule value would
    const path_style styles[] = {PATH_STYLE_WINDOWS, PATH_STYLE_POSIX};
    for (path_style style : styles) {
        for (int mirror = 0; mirror < 2; ++mirror) {
            std::string name;
            if (server_name_form(text, mirror != 0, style, &name) != 0) {
                if (!mirror) abort(); // only mirroring skips forms
                continue;
            }
            if (mirror && style == PATH_STYLE_WINDOWS && name.find('\\') != std::string::npos)
                abort();
            size_t slashes = 0;
            for (char c : name)
                slashes += c == '/';
            if (server_parent_folders("/D/", name).size() != slashes) abort();
        }
        // Completion only ever appends one backslash.
        const std::string completed = share_root_complete(text, style);
        if (completed != std::string(text) && completed != std::string(text) + "\\") abort();
    }
    return 0;
}
