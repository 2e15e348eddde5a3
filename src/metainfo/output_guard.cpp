#include "metainfo/output_guard.h"

#include "common/progress.h"

#include <csignal>
#include <unistd.h>

namespace {
const int guarded_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Read by the handler, which may run on any thread at any moment.
volatile std::sig_atomic_t armed = 0;
const char *volatile guarded_path = nullptr;

extern "C" void remove_output_and_die(int signal_number) {
    if (armed != 0) {
        unlink(guarded_path);
    }
    progress_erase_from_signal();
    // The handler was installed with SA_RESETHAND and SA_NODEFER: raising the signal again now
    // ends the process with the default action, so the caller sees the usual signal status.
    raise(signal_number);
}

void install(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // The flags are bit masks; the top one does not fit a signed int literally.
    action.sa_flags = handler == SIG_DFL ? 0 : static_cast<int>(SA_RESETHAND | SA_NODEFER);
    for (const int signal_number : guarded_signals) {
        struct sigaction previous = {};
        sigaction(signal_number, nullptr, &previous);
        // A signal the caller asked us to ignore stays ignored.
        if (previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}
} // namespace

void output_guard_arm(const char *path, bool removable) {
    guarded_path = path;
    armed = removable ? 1 : 0;
    install(remove_output_and_die);
}

void output_guard_release() {
    armed = 0;
    install(SIG_DFL);
}
