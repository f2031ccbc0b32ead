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
// ERANGE when the value grew in between. False when the query fails.
template <typename Query>
bool read_sized(std::string& buffer, Query query) {
    // Most values fit a small buffer: one call then does.
    buffer.resize(std::max<std::size_t>(buffer.capacity(), small_value));
    const ssize_t fitted = query(buffer.data(), buffer.size());
    if (fitted >= 0) {
        buffer.resize(static_cast<std::size_t>(fitted));
        return true;
    }
    if (errno != ERANGE) {
        return false;
    }
    for (;;) {
        const ssize_t size = query(nullptr, 0);
        if (size < 0) {
            return false;
        }
        buffer.resize(static_cast<std::size_t>(size));
        const ssize_t got = query(buffer.data(), buffer.size());
        if (got >= 0) {
            buffer.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) {
            return false;
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

// Gives `replacement` each attribute of `original`, and takes away any it has besides, such as
// an ACL inherited from its directory. An attribute that cannot be set is good enough when the
// replacement already holds the same value.
bool copy_extended_attributes(int original, int replacement) {
    std::vector<std::string> names;
    std::vector<std::string> present;
    if (!attribute_names(original, names) || !attribute_names(replacement, present)) {
        return false;
    }
    std::string value;
    std::string held;
    for (const std::string& name : names) {
        if (!attribute_value(original, name, value)) {
            return false;
        }
        if (::fsetxattr(replacement, name.c_str(), value.data(), value.size(), 0) != 0 &&
            !(attribute_value(replacement, name, held) && held == value)) {
            return false;
        }
    }
    for (const std::string& name : present) {
        if (std::find(names.begin(), names.end(), name) == names.end() &&
            ::fremovexattr(replacement, name.c_str()) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

// Owner first, since a change of owner clears the set-id bits and file capabilities; the
// permission bits last, after an ACL, so that both agree as they did on the original.
bool copy_attributes(int original, const struct stat& status, int replacement) {
    struct stat now = status;
    if (::fchown(replacement, status.st_uid, status.st_gid) != 0) {
        // Not permitted: the file keeps this process's owner, and its group where that fails.
        (void)::fchown(replacement, static_cast<uid_t>(-1), status.st_gid);
        if (::fstat(replacement, &now) != 0) {
            return false;
        }
    }
    if (!copy_extended_attributes(original, replacement)) {
        return false;
    }
    const bool same_owner = now.st_uid == status.st_uid && now.st_gid == status.st_gid;
    const mode_t kept_bits = same_owner ? 07777 : 01777;
    return ::fchmod(replacement, status.st_mode & kept_bits) == 0;
}

}  // namespace tessaran
