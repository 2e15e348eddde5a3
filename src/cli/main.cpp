#include "cli/options.h"
#include "metainfo/write_metainfo.h"

int main(int argc, char **argv) {
    run_options options;
    switch (parse_command_line(argc, argv, options)) {
    case parse_outcome::exit_success:
        return 0;
    case parse_outcome::exit_failure:
        return 1;
    case parse_outcome::run:
        break;
    }
    return write_metainfo(options);
}
