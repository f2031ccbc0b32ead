// Carrying a file's owner, permissions and extended attributes over to its replacement.
#pragma once

#include <sys/stat.h>

namespace tessaran {

// Gives the new file `replacement` what the old file `original`, whose status is `status`, grants:
// its owner and group where this process may set them, every extended attribute (the access ACL
// and any security label among them) and no other, and its permission bits. The set-user-ID and
// set-group-ID bits are kept only where owner and group were both kept; where the group was not
// kept, the new owning group is granted no more than others were, by the permission bits and the
// access ACL alike. Whatever grants anyone else write access is given last, after the set-id bits
// and any file capability: a write by another user from then on takes those away again, as the
// kernel does. Returns 0, or the error of the call that failed where an attribute could not be
// given and the new file does not already hold it.
int copy_attributes(int original, const struct stat& status, int replacement);

}  // namespace tessaran
