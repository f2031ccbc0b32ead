// Carrying a file's owner, permissions and extended attributes over to its replacement.
#pragma once

#include <sys/stat.h>

namespace tessaran {

// Gives the new file `replacement`, which only this process may open yet, what the old file
// `original`, whose status is `status`, grants: its owner and group where this process may set
// them, every extended attribute (the access ACL and any security label among them) and no other,
// and its permission bits. At no moment does the replacement grant anyone more than it finally
// will: across the change of owner it grants no one anything; the set-id bits and any file
// capability stand before anyone but this process may open it; then the ACL and the mode open it
// to the owner and others. The set-id
// bits are kept only where owner and group were both kept; where the group was not kept, the new
// owning group is granted no more than others were. Where the file goes to another owner and no
// lease on it tells whether that owner opened it meanwhile (`leased` false), the set-id bits and
// capabilities are not given, as after that owner's own write. Returns 0, or the error of the
// call that failed where an attribute could not be given and the new file does not already hold
// it. `made` is the status of the replacement as this process made it, its owner this process.
int copy_attributes(int original, const struct stat& status, int replacement,
                    const struct stat& made, bool leased);

}  // namespace tessaran
