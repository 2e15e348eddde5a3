#include "metainfo/output_guard.h"

#include "common/progress.h"

#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace {
const int guarded_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Read by the handler, which may run on any thread at any moment and is handed nothing but the
// signal's number: what it removes can only be known to it through the process's own state.
volatile std::sig_atomic_t armed = 0;
const char *volatile guarded_path = nullptr;
const char *volatile guarded_temporary = nullptr;

// The signal mask from before output_guard_hold, while the signals are held. It belongs to the
// same guard as the handler's state above: holding, arming and releasing are steps of the one
// disposition of these signals the process has.
bool holding = false;
sigset_t mask_before_hold;

extern "C" void remove_output_and_die(int signal_number) {
    const char *temporary = guarded_temporary;
    if (temporary != nullptr) {
        unlink(temporary);
    }
    if (armed != 0) {
        unlink(guarded_path);
    }
    progress_erase_from_signal();
    // The handler was installed with SA_RESETHAND and SA_NODEFER: raising the signal again now
    // ends the process with the default action, so the caller sees the usual signal status.
    raise(signal_number);
}

void install_handler() {
    struct sigaction action = {};
    action.sa_handler = remove_output_and_die;
    sigemptyset(&action.sa_mask);
    // The flags are bit masks; the top one does not fit a signed int literally.
    action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    for (const int signal_number : guarded_signals) {
        struct sigaction previous = {};
        sigaction(signal_number, nullptr, &previous);
        // A signal the caller asked us to ignore stays ignored.
        if (previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

void let_signals_through() {
    if (holding) {
        holding = false;
        pthread_sigmask(SIG_SETMASK, &mask_before_hold, nullptr);
    }
}
} // namespace

sigset_t output_guard_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal_number : guarded_signals) {
        sigaddset(&signals, signal_number);
    }
    return signals;
}

void output_guard_hold() {
    const sigset_t held = output_guard_signals();
    holding = pthread_sigmask(SIG_BLOCK, &held, &mask_before_hold) == 0;
}

void output_guard_arm(const char *path, const char *temporary, bool removable) {
    guarded_path = path;
    guarded_temporary = temporary;
    armed = removable ? 1 : 0;
    install_handler();
    let_signals_through();
}

void output_guard_forget_temporary() {
    guarded_temporary = nullptr;
}

void output_guard_release() {
    // The run's outcome is settled: a signal from now on comes too late to change it, and must
    // not end the process with a status that says the finished output was abandoned.
    output_guard_hold();
    holding = false;
    armed = 0;
    guarded_temporary = nullptr;
}
