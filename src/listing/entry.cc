// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// One element line of the document: a file or folder with the attributes the
// flags select, and the access-mode rule that shapes its permission letters.
#include "listing.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "kelvane.h"
#include "writer.h"

running_ids effective_ids(unsigned flags) noexcept {
    running_ids ids{0, 0};
    if (!(flags & SHOW_OWNER))
        ids.user = geteuid();
    if (!(flags & SHOW_GROUP))
        ids.group = getegid();
    return ids;
}

unsigned access_mode(const struct stat &status, unsigned flags,
                     running_ids ids) noexcept {
    unsigned mode = status.st_mode;
    if (!(flags & SHOW_OWNER) && ids.user != 0 && ids.user != status.st_uid)
        mode &= ~unsigned{S_IRUSR | S_IWUSR};
    if (!(flags & SHOW_GROUP) && ids.group != 0 && ids.group != status.st_gid)
        mode &= ~unsigned{S_IRGRP | S_IWGRP};
    return mode;
}

listing_context start_listing(unsigned flags, listing_root root) noexcept {
    listing_context listing{};
    listing.flags = flags;
    listing.root = root;
    listing.ids = effective_ids(flags);
    listing.codeset = locale_codeset();
    return listing;
}

namespace {

// The start of the element line for a kind of entry, up to the opening
// quote of its name, or null for kinds never listed (devices, pipes,
// sockets).
const char *element_start_for(mode_t mode) noexcept {
    if (S_ISREG(mode))
        return "  <file name=\"";
    if (S_ISDIR(mode))
        return "  <folder name=\"";
    return nullptr;
}

std::string_view entry_name(std::string_view path) noexcept {
    const void *slash = memrchr(path.data(), '/', path.size());
    if (!slash)
        return path;
    // Past the slash, without substr(), whose bounds check needs the C++
    // runtime.
    const char *name = static_cast<const char *>(slash) + 1;
    return std::string_view(name, static_cast<std::size_t>(path.data() + path.size() - name));
}

// One time attribute, as a UTC stamp such as 20240102T030405Z; left out when
// the time can't be broken down or formatted. `last` keeps the previous
// stamp of the same attribute, reused when the second is the same.
void write_time(std::FILE *out, std::string_view attribute, time_t seconds,
                time_stamp &last) noexcept {
    if (!last.formatted || last.seconds != seconds) {
        last.seconds = seconds;
        last.formatted = utc_stamp(seconds, last.text);
        if (!last.formatted)
            return;
    }
    put_text(out, attribute);
    put_text(out, last.text);
    put_text(out, "\"");
}

// A numeric user or group id. Ids are unsigned: a large id must not come out
// negative.
void write_id(std::FILE *out, std::string_view attribute, std::uint64_t id) noexcept {
    put_text(out, attribute);
    put_decimal(out, id);
    putc_unlocked('"', out);
}

// The permission letters of one class: R and W from the entry's access mode,
// D from the write bit of the folder that holds it.
struct class_bits {
    unsigned read, write;
};

void write_perm(std::FILE *out, std::string_view attribute, class_bits bits,
                unsigned mode, unsigned folder_mode, unsigned flags) noexcept {
    put_text(out, attribute);
    if (mode & bits.read)
        putc_unlocked('R', out);
    if ((mode & bits.write) && !(flags & NO_WRITE))
        putc_unlocked('W', out);
    if ((folder_mode & bits.write) && !(flags & NO_DELETE))
        putc_unlocked('D', out);
    putc_unlocked('"', out);
}

} // namespace

bool hidden_from(std::string_view name, unsigned flags) noexcept {
    return name.starts_with('.') && !(flags & SHOW_HIDDEN);
}

bool entry_is_gone(int error) noexcept {
    return error == ENOENT || error == ELOOP || error == ENOTDIR || error == EXDEV;
}

void write_element(std::FILE *out, std::string_view name, const struct stat &status,
                   unsigned folder_mode, listing_context &listing) noexcept {
    const unsigned flags = listing.flags;
    const unsigned mode = access_mode(status, flags, listing.ids);
    const char *element_start = element_start_for(mode);
    if (!element_start)
        return;

    put_text(out, element_start);
    write_escaped(out, name, listing.codeset);
    put_text(out, "\" size=\"");
    put_decimal(out, std::int64_t{status.st_size});
    putc_unlocked('"', out);
    if (flags & SHOW_TIMES) {
        write_time(out, " created=\"", status.st_ctime, listing.created);
        write_time(out, " modified=\"", status.st_mtime, listing.modified);
        write_time(out, " accessed=\"", status.st_atime, listing.accessed);
    }
    if (flags & SHOW_OWNER)
        write_id(out, " owner=\"", status.st_uid);
    if (flags & SHOW_GROUP)
        write_id(out, " group=\"", status.st_gid);
    if (flags & SHOW_PERMS) {
        write_perm(out, " user-perm=\"", {S_IRUSR, S_IWUSR}, mode, folder_mode, flags);
        write_perm(out, " group-perm=\"", {S_IRGRP, S_IWGRP}, mode, folder_mode, flags);
        write_perm(out, " other-perm=\"", {S_IROTH, S_IWOTH}, mode, folder_mode, flags);
    }
    put_text(out, " />\n");
}

int write_entry(std::FILE *out, const char *path, unsigned folder_mode,
                listing_context &listing) noexcept {
    if (!path)
        return 0;
    const std::string_view name = entry_name(path);
    if (hidden_from(name, listing.flags))
        return 0;
    struct stat status;
    if (const int error = read_path_status(listing.root, path, status))
        return entry_is_gone(error) ? 0 : -error;
    write_element(out, name, status, folder_mode, listing);
    return 0;
}
