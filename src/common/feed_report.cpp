#include "common/feed_report.h"

#include "common/console.h"

#include <cstring>

int report_feed_failure(feed_status status, int read_errno, const char *path) {
    switch (status) {
    case feed_status::ok:
        return 0;
    case feed_status::read_error:
        report_failure("could not read file %s: %s\n", path, std::strerror(read_errno));
        break;
    case feed_status::changed:
        report_failure("file %s changed while being read\n", path);
        break;
    case feed_status::out_of_memory:
        report_failure("out of memory\n");
        break;
    case feed_status::sink_failed:
        break;
    }
    return 1;
}
