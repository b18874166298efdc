/* The pair lock defers asynchronous signals to the unlock: a signal handler that waits for
 * wineserver must never run while its thread holds a lock that wineserver may ask for. */
#define _GNU_SOURCE
#include "shared_state.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

static tb_pair pairs[2];
static volatile sig_atomic_t handled;
static volatile uint32_t lock_seen_by_handler[2];

static void on_signal(int sig)
{
    (void)sig;
    lock_seen_by_handler[0] = pairs[0].lock;
    lock_seen_by_handler[1] = pairs[1].lock;
    handled++;
}

static int failures;
#define CHECK(cond, what)                                         \
    do {                                                          \
        if (!(cond)) {                                            \
            fprintf(stderr, "FAILED: %s (line %d)\n", what, __LINE__); \
            failures++;                                           \
        }                                                         \
    } while (0)

static int blocked_now(int sig)
{
    sigset_t now;
    pthread_sigmask(SIG_BLOCK, NULL, &now);
    return sigismember(&now, sig);
}

int main(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGUSR1, &sa, NULL);

    /* One lock: the signal waits for the unlock and then finds the lock free. */
    tb_lock_pair(&pairs[0]);
    pthread_kill(pthread_self(), SIGUSR1);
    CHECK(handled == 0, "a signal ran its handler while the lock was held");
    CHECK(!blocked_now(SIGSEGV) && !blocked_now(SIGBUS), "faults must stay deliverable under the lock");
    tb_unlock_pair(&pairs[0]);
    CHECK(handled == 1, "the held signal was delivered at the unlock");
    CHECK(lock_seen_by_handler[0] == 0, "the handler ran with the lock still taken");

    /* Nested locks of two pairs: only the last unlock lets the signal through. */
    tb_lock_pair(&pairs[0]);
    tb_lock_pair(&pairs[1]);
    pthread_kill(pthread_self(), SIGUSR1);
    tb_unlock_pair(&pairs[1]);
    CHECK(handled == 1, "a signal ran its handler while the outer lock was held");
    tb_unlock_pair(&pairs[0]);
    CHECK(handled == 2, "the held signal was delivered at the outer unlock");
    CHECK(lock_seen_by_handler[0] == 0 && lock_seen_by_handler[1] == 0, "the handler ran under a lock");

    /* The thread's own mask comes back as it was: a signal it had blocked stays blocked. */
    sigset_t usr2;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &usr2, NULL);
    tb_lock_pair(&pairs[0]);
    tb_unlock_pair(&pairs[0]);
    CHECK(blocked_now(SIGUSR2), "the unlock unblocked a signal the thread had blocked itself");
    CHECK(!blocked_now(SIGUSR1), "the unlock left a signal blocked");

    if (failures) return 1;
    printf("pair lock holds signals until the unlock: ok\n");
    return 0;
}
