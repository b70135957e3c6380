// One element line of the document: a file or folder with the attributes the
// flags select, and the access-mode rule that shapes its permission letters.
#include "listing.h"

#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "kelvane.h"

static_assert(sizeof(off_t) == 8,
              "file sizes need 64 bits; build with _FILE_OFFSET_BITS=64");

unsigned access_mode(const struct stat &status, unsigned flags) noexcept {
    unsigned mode = status.st_mode;
    if (!(flags & SHOW_OWNER)) {
        uid_t user = geteuid();
        if (user != 0 && user != status.st_uid)
            mode &= ~unsigned{S_IRUSR | S_IWUSR};
    }
    if (!(flags & SHOW_GROUP)) {
        gid_t group = getegid();
        if (group != 0 && group != status.st_gid)
            mode &= ~unsigned{S_IRGRP | S_IWGRP};
    }
    return mode;
}

namespace {

// The element name for a kind of entry, or null for kinds never listed
// (devices, pipes, sockets).
const char *element_for(mode_t mode) noexcept {
    if (S_ISREG(mode))
        return "file";
    if (S_ISDIR(mode))
        return "folder";
    return nullptr;
}

std::string_view entry_name(std::string_view path) noexcept {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// One time attribute, as a UTC stamp such as 20240102T030405Z; left out when
// the time can't be broken down or formatted.
void write_time(std::FILE *out, const char *attribute, time_t seconds) noexcept {
    const struct tm *utc = gmtime(&seconds);
    char stamp[20];
    if (!utc || std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", utc) == 0)
        return;
    std::fprintf(out, " %s=\"%s\"", attribute, stamp);
}

// The permission letters of one class: R and W from the entry's access mode,
// D from the write bit of the folder that holds it.
struct class_bits {
    unsigned read, write;
};

void write_perm(std::FILE *out, const char *attribute, class_bits bits, unsigned mode,
                unsigned folder_mode, unsigned flags) noexcept {
    std::fprintf(out, " %s=\"%s%s%s\"", attribute, (mode & bits.read) ? "R" : "",
                 (mode & bits.write) && !(flags & NO_WRITE) ? "W" : "",
                 (folder_mode & bits.write) && !(flags & NO_DELETE) ? "D" : "");
}

} // namespace

void write_entry(std::FILE *out, const char *path, unsigned folder_mode,
                 unsigned flags) noexcept {
    struct stat status;
    if (!path || stat(path, &status) != 0)
        return;
    unsigned mode = access_mode(status, flags);
    std::string_view name = entry_name(path);
    if (name.starts_with('.') && !(flags & SHOW_HIDDEN))
        return;
    const char *element = element_for(mode);
    if (!element)
        return;

    std::fprintf(out, "  <%s", element);
    std::fputs(" name=\"", out);
    write_escaped(out, name);
    std::fprintf(out, "\" size=\"%" PRId64 "\"",
                 static_cast<std::int64_t>(status.st_size));
    if (flags & SHOW_TIMES) {
        write_time(out, "created", status.st_ctime);
        write_time(out, "modified", status.st_mtime);
        write_time(out, "accessed", status.st_atime);
    }
    // Ids are unsigned: a large id must not come out negative.
    if (flags & SHOW_OWNER)
        std::fprintf(out, " owner=\"%u\"", static_cast<unsigned>(status.st_uid));
    if (flags & SHOW_GROUP)
        std::fprintf(out, " group=\"%u\"", static_cast<unsigned>(status.st_gid));
    if (flags & SHOW_PERMS) {
        write_perm(out, "user-perm", {S_IRUSR, S_IWUSR}, mode, folder_mode, flags);
        write_perm(out, "group-perm", {S_IRGRP, S_IWGRP}, mode, folder_mode, flags);
        write_perm(out, "other-perm", {S_IROTH, S_IWOTH}, mode, folder_mode, flags);
    }
    std::fputs(" />\n", out);
}
