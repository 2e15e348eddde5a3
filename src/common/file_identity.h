#pragma once
#include <sys/stat.h>
#include <sys/types.h>

// Which file a status belongs to, kept after the file's name may have changed hands: the run's
// own output, or the older output it replaces, is told apart from content by this alone.
struct file_identity {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
};

// The identity of a regular file; any other kind stays unknown, since only a regular file can
// turn up in a walk as content.
inline file_identity regular_file_identity(const struct stat &status) {
    return {S_ISREG(status.st_mode), status.st_dev, status.st_ino};
}

inline bool is_same_file(const file_identity &identity, const struct stat &status) {
    return identity.known && status.st_dev == identity.device && status.st_ino == identity.inode;
}

// The files a run writes: the one the document goes into while it is written, and the older
// output it will take the place of. A walk of a tree that holds them leaves both out.
struct output_identities {
    file_identity written;
    file_identity replaced;
};
