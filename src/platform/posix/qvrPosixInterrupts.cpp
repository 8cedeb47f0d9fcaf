// POSIX platform layer: the interrupts of a command (SIGINT, SIGTERM, SIGHUP).
//
// The handler does what is safe in a signal handler and no more: it records the signal
// in a lock-free atomic, the one process-wide state the command keeps, and makes sure
// the thread that reads the terminal sees the signal too. The handlers are installed
// without SA_RESTART, so that a read waiting for the user's answer returns (EINTR)
// instead of going on waiting, and what guards the terminal's mode is unwound.
#include "qvrPosixInternal.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace qvrOS {

namespace {

std::atomic<int> gCaught{0};
static_assert(std::atomic<int>::is_always_lock_free);
// The thread that installed the handlers; a signal the system hands to another one (a
// worker) is passed on to it, since only its read of the terminal must be cut short.
pthread_t gReader;

constexpr int Interrupts[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnInterrupt(int Signal)
{
    const int saved = errno;
    int none = 0;
    gCaught.compare_exchange_strong(none, Signal);
    if (!pthread_equal(pthread_self(), gReader)) pthread_kill(gReader, Signal);
    errno = saved;
}

} // namespace

bool CatchInterrupts()
{
    gReader = pthread_self();
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    bool installed = true;
    for (const int s : Interrupts) {
        struct sigaction old {};
        if (::sigaction(s, nullptr, &old) != 0) {
            installed = false;
            continue;
        }
        if (old.sa_handler == SIG_IGN) continue;
        if (::sigaction(s, &action, nullptr) != 0) installed = false;
    }
    return installed;
}

int CaughtInterrupt() { return gCaught.load(std::memory_order_relaxed); }

void EndByInterrupt(int Signal)
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(Signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, Signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(Signal);
    // A signal whose default action does not end the process: the status a shell
    // gives a process it ended.
    ::_exit(128 + Signal);
}

} // namespace qvrOS
