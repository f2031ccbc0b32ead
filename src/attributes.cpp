// Carrying a file's owner, permissions and extended attributes over to its replacement.
#include "attributes.hpp"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include <sys/xattr.h>
#include <unistd.h>

namespace tessaran {
namespace {

constexpr std::size_t small_value = 256;

// Fills `buffer` by `query`, which returns the size it needs for a null buffer and fails with
// ERANGE when the buffer is too small. Most values fit a small buffer, and one call then does;
// otherwise the size is asked for and the value read again, for as long as it keeps growing in
// between. False when the query fails.
template <typename Query>
bool read_sized(std::string& buffer, Query query) {
    std::size_t room = std::max(buffer.capacity(), small_value);
    for (;;) {
        buffer.resize(room);
        const ssize_t got = query(buffer.data(), buffer.size());
        if (got >= 0) {
            buffer.resize(static_cast<std::size_t>(got));
            return true;
        }
        const ssize_t needed = errno == ERANGE ? query(nullptr, 0) : -1;
        if (needed < 0) {
            return false;
        }
        // Never a size of 0, which would ask for the size again instead of the value.
        room = std::max<std::size_t>(static_cast<std::size_t>(needed), 1);
    }
}

// An access ACL as the kernel keeps it: a version of 4 bytes, then entries of a tag and
// permissions of 2 bytes each and an id of 4, all little-endian.
constexpr const char* access_acl_name = "system.posix_acl_access";
// The same ACL in xfs's own form, which xfs shows root besides.
constexpr const char* xfs_access_acl_name = "trusted.SGI_ACL_FILE";
constexpr const char* capability_name = "security.capability";
constexpr std::size_t acl_header_size = 4;
constexpr std::size_t acl_entry_size = 8;
constexpr unsigned acl_owning_group = 0x04;
constexpr unsigned acl_mask = 0x10;
constexpr unsigned acl_others = 0x20;

bool is_access_acl(const std::string& name) {
    return name == access_acl_name || name == xfs_access_acl_name;
}

unsigned acl_field(const std::string& acl, std::size_t at) {
    return static_cast<unsigned char>(acl[at]) | static_cast<unsigned char>(acl[at + 1]) << 8;
}

// Gives the owning-group entry and the mask of `acl` no more than the others' entry grants.
void limit_group_to_others(std::string& acl) {
    unsigned others = 0;
    for (std::size_t at = acl_header_size; at + acl_entry_size <= acl.size();
         at += acl_entry_size) {
        others = acl_field(acl, at) == acl_others ? acl_field(acl, at + 2) : others;
    }
    for (std::size_t at = acl_header_size; at + acl_entry_size <= acl.size();
         at += acl_entry_size) {
        const unsigned tag = acl_field(acl, at);
        if (tag == acl_owning_group || tag == acl_mask) {
            acl[at + 2] = static_cast<char>(acl_field(acl, at + 2) & others);
            acl[at + 3] = 0;
        }
    }
}

// The names of the extended attributes of `fd`; none where the file system keeps none.
bool attribute_names(int fd, std::vector<std::string>& names) {
    std::string list;
    if (!read_sized(list,
                    [fd](char* data, std::size_t size) { return ::flistxattr(fd, data, size); })) {
        return errno == ENOTSUP;
    }
    names.clear();
    for (std::size_t at = 0; at < list.size();) {
        names.emplace_back(list.c_str() + at);
        at += names.back().size() + 1;
    }
    return true;
}

bool attribute_value(int fd, const std::string& name, std::string& value) {
    return read_sized(value, [fd, &name](char* data, std::size_t size) {
        return ::fgetxattr(fd, name.c_str(), data, size);
    });
}

// Gives `replacement` the attribute `name` with `value`: 0, or the error of the set that failed.
// One that cannot be set is good enough when the replacement already holds the same value.
int give_attribute(int replacement, const std::string& name, const std::string& value,
                   std::string& held) {
    if (::fsetxattr(replacement, name.c_str(), value.data(), value.size(), 0) == 0) {
        return 0;
    }
    const int error = errno;
    return attribute_value(replacement, name, held) && held == value ? 0 : error;
}

// Takes away every attribute of `replacement` that is not among `kept`, and any ACL it inherited
// from its directory, which would take effect as soon as the mode opened the file to its group:
// 0, or the error of the call that failed.
int remove_others(int replacement, const std::vector<std::string>& kept) {
    std::vector<std::string> present;
    if (!attribute_names(replacement, present)) {
        return errno;
    }
    for (const std::string& name : present) {
        // Gone already counts as removed: xfs shows root one ACL under two names.
        if ((is_access_acl(name) || std::find(kept.begin(), kept.end(), name) == kept.end()) &&
            ::fremovexattr(replacement, name.c_str()) != 0 && errno != ENODATA) {
            return errno;
        }
    }
    return 0;
}

// Gives `replacement` each attribute of `original` but its access ACL, or only that ACL: 0, or
// the error of the call that failed. Where the group was not kept, the access ACL gives the new
// owning group no more than others had. A file capability is given only `with_privileges`.
int give_attributes(int original, int replacement, const std::vector<std::string>& names,
                    bool access_acl, bool group_kept, bool with_privileges) {
    std::string value;
    std::string held;
    for (const std::string& name : names) {
        if (is_access_acl(name) != access_acl || (!with_privileges && name == capability_name)) {
            continue;
        }
        if (!attribute_value(original, name, value)) {
            return errno;
        }
        if (!group_kept && name == access_acl_name) {
            limit_group_to_others(value);
        }
        if (const int error = give_attribute(replacement, name, value, held)) {
            return error;
        }
    }
    return 0;
}

// The permission bits the replacement gets: the set-id bits only where owner and group were both
// kept, and a group that was not kept no more than others had.
mode_t mode_to_give(const struct stat& original, const struct stat& replacement) {
    const bool group_kept = replacement.st_gid == original.st_gid;
    const bool same_owner = replacement.st_uid == original.st_uid && group_kept;
    mode_t mode = original.st_mode & (same_owner ? 07777 : 01777);
    if (!group_kept) {
        mode &= ~(S_IRWXG & ~(mode << 3));
    }
    return mode;
}

// What the kernel keeps after a write by someone without the right to keep privileges: no
// set-user-ID bit, and no set-group-ID bit where the group may execute.
mode_t without_privileges(mode_t mode) {
    mode &= ~mode_t{S_ISUID};
    return (mode & S_IXGRP) != 0 ? mode & ~mode_t{S_ISGID} : mode;
}

}  // namespace

// The owner comes first, since a change of owner clears the set-id bits and file capabilities;
// across it the file grants no one anything, so that the new owner never holds more than it
// finally will. Then, while the new owner has no right to it, every attribute but the access ACL,
// a capability among them; then the owner's rights together with the set-id bits; then the ACL,
// which sets the permission bits that the original's ACL and mode agreed on; then the mode.
int copy_attributes(int original, const struct stat& status, int replacement,
                    const struct stat& made, bool leased) {
    std::vector<std::string> names;
    if (!attribute_names(original, names)) {
        return errno;
    }
    if (const int error = remove_others(replacement, names)) {
        return error;
    }
    // The replacement is this process's own until the change of owner, which a file made with the
    // original's owner and group already has.
    const uid_t runner = made.st_uid;
    const bool owner_changes = runner != status.st_uid;
    if (owner_changes && ::fchmod(replacement, 0) != 0) {
        return errno;
    }
    struct stat now = status;
    const bool owned_as_given = !owner_changes && made.st_gid == status.st_gid;
    if (!owned_as_given && ::fchown(replacement, status.st_uid, status.st_gid) != 0) {
        // Not permitted: the file keeps this process's owner, and its group where that fails too.
        if (::fchown(replacement, static_cast<uid_t>(-1), status.st_gid) != 0) {
            errno = 0;
        }
        if (::fstat(replacement, &now) != 0) {
            return errno;
        }
    }
    const bool group_kept = now.st_gid == status.st_gid;
    const bool still_ours = now.st_uid == runner;
    // Without a lease, another owner may have written its own bytes into the file by now.
    const bool with_privileges = leased || still_ours;
    mode_t mode = mode_to_give(status, now);
    mode = with_privileges ? mode : without_privileges(mode);
    // This process writes the attributes of a file that stays its own with its own rights; it is
    // 0600 already unless there are set-id bits to give or its owner could not be changed.
    if (still_ours && ((mode & 07000) != 0 || owner_changes) &&
        ::fchmod(replacement, (mode & 07000) | S_IRUSR | S_IWUSR) != 0) {
        return errno;
    }
    if (const int error =
            give_attributes(original, replacement, names, false, group_kept, with_privileges)) {
        return error;
    }
    // Without an access ACL, the last step gives the owner, the set-id bits and everyone else at
    // once; with one, the owner and the set-id bits come first.
    const bool acl = std::any_of(names.begin(), names.end(), is_access_acl);
    if (acl) {
        if (::fchmod(replacement, mode & (07000 | S_IRWXU)) != 0) {
            return errno;
        }
        if (const int error =
                give_attributes(original, replacement, names, true, group_kept, with_privileges)) {
            return error;
        }
    }
    return ::fchmod(replacement, mode) == 0 ? 0 : errno;
}

}  // namespace tessaran
