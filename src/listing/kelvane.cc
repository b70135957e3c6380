// The listing driver: guards the path, writes the document frame and the
// parent-folder element, and hands a single file or each entry of a folder
// to write_entry().
#include "kelvane.h"

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <langinfo.h>

#include "listing.h"

namespace {

struct folder_closer {
    void operator()(DIR *folder) const noexcept { closedir(folder); }
};
using folder_handle = std::unique_ptr<DIR, folder_closer>;

void open_frame(std::FILE *out) noexcept {
    std::fprintf(out, "<?xml version=\"1.0\" encoding=\"%s\"?>\n", nl_langinfo(CODESET));
    std::fputs("<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\n", out);
    std::fprintf(out, "<%s", "folder-listing version=\"1.0\"");
    std::fputs(">\n", out);
}

void close_frame(std::FILE *out) noexcept {
    std::fprintf(out, "</%s>\n", "folder-listing");
}

// Writes the parent-folder element when asked and gives the access mode of
// the folder that holds `path`, should it name a single file: 0 when that
// folder's status can't be read, or memory for its path can't be had (in
// which case the parent-folder element is left out too).
unsigned containing_folder_mode(std::FILE *out, const char *path,
                                unsigned flags) noexcept {
    heap_text parent = parent_path(path);
    if (!parent)
        return 0;
    if (flags & SHOW_PARENT)
        std::fprintf(out, "  <%s />\n", "parent-folder");
    struct stat status;
    if (stat(parent.get(), &status) != 0)
        return 0;
    return access_mode(status, flags);
}

// Writes one entry per name in the folder, in the order the system gives
// them. Returns 0, or the negated error that stopped the walk; whatever was
// listed before the error stays listed.
int walk_folder(std::FILE *out, const char *path, unsigned flags) noexcept {
    struct stat status;
    if (stat(path, &status) != 0)
        return 0;
    const unsigned folder_mode = access_mode(status, flags);
    const std::string_view folder(path);
    const std::string_view separator = folder.ends_with('/') ? "" : "/";

    folder_handle handle(opendir(path));
    if (!handle)
        return -errno;
    heap_text entry_path;
    for (;;) {
        errno = 0;
        const struct dirent *entry = readdir(handle.get());
        if (!entry)
            return -errno;
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const std::size_t size = folder.size() + separator.size() + name.size() + 1;
        char *resized = static_cast<char *>(std::realloc(entry_path.get(), size));
        if (!resized)
            return -ENOMEM;         // the old buffer is still held, and freed on return
        (void)entry_path.release(); // realloc has taken it over
        entry_path.reset(resized);
        char *end = std::copy(folder.begin(), folder.end(), resized);
        end = std::copy(separator.begin(), separator.end(), end);
        end = std::copy(name.begin(), name.end(), end);
        *end = '\0';
        write_entry(out, resized, folder_mode, flags);
    }
}

// Lists what `path` names once it has passed the guard; the frame is open.
int list_path(std::FILE *out, const char *path, unsigned flags) noexcept {
    const unsigned folder_mode = containing_folder_mode(out, path, flags);
    struct stat status;
    if (stat(path, &status) != 0)
        return -ENOTDIR;
    if (S_ISREG(status.st_mode)) {
        write_entry(out, path, folder_mode, flags);
        return 0;
    }
    if (S_ISDIR(status.st_mode))
        return walk_folder(out, path, flags);
    return -ENOTDIR;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int kelvane(FILE *out, const char *path,
                                                              unsigned int flags) {
    if (!out || !path || path_climbs_out(path))
        return -EINVAL;
    open_frame(out);
    const int result = list_path(out, path, flags);
    close_frame(out);
    return result;
}
