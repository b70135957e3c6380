// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The two rules about the path a caller hands in: which paths are refused,
// and which folder holds a single listed file.
#include "listing.h"

#include <cstring>

bool path_climbs_out(std::string_view path) noexcept {
    if (path.starts_with("../") || path == "..")
        return true;
    // "/.." itself names the root and is let through.
    return path.size() > 3 &&
           (path.find("/../") != std::string_view::npos || path.ends_with("/.."));
}

heap_text parent_path(const char *path) noexcept {
    heap_text parent(strdup(path));
    if (!parent)
        return nullptr;
    for (;;) {
        char *slash = std::strrchr(parent.get(), '/');
        if (!slash)
            return heap_text(strdup("."));
        *slash = '\0';
        // A trailing slash or a trailing "." component names the same
        // folder as what comes before it, so keep cutting.
        std::string_view rest(slash + 1);
        if (rest.empty() || rest == ".")
            continue;
        // A name directly under the root: cutting left nothing, and the
        // folder that holds it is the root itself.
        if (slash == parent.get())
            slash[0] = '/', slash[1] = '\0';
        return parent;
    }
}
