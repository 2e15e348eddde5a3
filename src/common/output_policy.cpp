#include "common/output_policy.h"

#include "common/console.h"

#include <sys/stat.h>

bool output_may_be_written(const std::string &path, bool force) {
    struct stat existing = {};
    // A dangling symbolic link counts too: writing would create the file it points at.
    if (force || lstat(path.c_str(), &existing) != 0) {
        return true;
    }
    report_failure("%s exists: use --force to replace it\n", path.c_str());
    return false;
}
