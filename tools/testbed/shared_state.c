/* Shared line state: locking, line crossing and mapping (used by the daemon and the preload). */
#define _GNU_SOURCE
#include "shared_state.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static uint32_t current_tid(void)
{
    return (uint32_t)syscall(SYS_gettid);
}

static int holder_gone(uint32_t tid)
{
    return tid != 0 && kill((pid_t)tid, 0) == -1 && errno == ESRCH;
}

/* Asynchronous signals wait while a thread holds a pair's lock. Wine interrupts a thread with
 * a signal to run a system APC or to suspend it, and the handler waits for wineserver; were
 * the lock held meanwhile, wineserver's own open or close of a port of that pair would spin
 * on it for ever, and every process of the prefix with it. Faults stay deliverable. The
 * mask is taken before the lock, so that no signal slips in between. */
static __thread unsigned lock_depth;
static __thread sigset_t mask_before_lock;

static void hold_signals(void)
{
    if (lock_depth++ > 0) return;
    sigset_t held;
    sigfillset(&held);
    static const int faults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT};
    for (unsigned i = 0; i < sizeof(faults) / sizeof(faults[0]); ++i) sigdelset(&held, faults[i]);
    pthread_sigmask(SIG_BLOCK, &held, &mask_before_lock);
}

static void release_signals(void)
{
    if (lock_depth == 0 || --lock_depth > 0) return;
    pthread_sigmask(SIG_SETMASK, &mask_before_lock, NULL);
}

void tb_lock_pair(tb_pair *p)
{
    hold_signals();
    uint32_t me = current_tid();
    for (unsigned spins = 0;; ++spins) {
        uint32_t expected = 0;
        if (__atomic_compare_exchange_n(&p->lock, &expected, me, 0, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return;
        if (spins < 100) {
            sched_yield();
            continue;
        }
        /* Held for long: check that the holder still exists, else take the lock over. */
        if ((spins % 64) == 0 && holder_gone(expected)
            && __atomic_compare_exchange_n(&p->lock, &expected, me, 0, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return;
        struct timespec ts = {0, 50000};
        nanosleep(&ts, NULL);
    }
}

void tb_unlock_pair(tb_pair *p)
{
    __atomic_store_n(&p->lock, 0, __ATOMIC_RELEASE);
    release_signals();
}

static uint32_t inputs_seen_by(const tb_end *self, const tb_end *peer)
{
    uint32_t in = 0;
    if (peer->out_lines & TB_RTS) in |= TB_CTS;
    if (peer->out_lines & TB_DTR) in |= TB_DSR;
    if (self->dcd_force > 0 || (self->dcd_force < 0 && (peer->out_lines & TB_DTR))) in |= TB_CAR;
    if (self->ri) in |= TB_RNG;
    return in;
}

static void count_edges(tb_end *e, uint32_t before, uint32_t after)
{
    uint32_t changed = before ^ after;
    if (changed & TB_CTS) e->count.cts++;
    if (changed & TB_DSR) e->count.dsr++;
    if (changed & TB_CAR) e->count.dcd++;
    if (changed & TB_RNG) e->count.rng++;
}

void tb_update_lines(tb_pair *p)
{
    for (int i = 0; i < 2; ++i) {
        tb_end *e = &p->end[i];
        uint32_t now = inputs_seen_by(e, &p->end[1 - i]);
        count_edges(e, e->in_lines, now);
        e->in_lines = now;
    }
}

tb_shared *tb_map_shared(const char *path, int create)
{
    /* Raw system calls: inside the preload library, open() and close() are its own wrappers,
     * which wait for the initialisation that is calling this. */
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path,
                          create ? (O_RDWR | O_CREAT | O_CLOEXEC) : (O_RDWR | O_CLOEXEC), 0600);
    if (fd < 0) return NULL;
    if (create && ftruncate(fd, sizeof(tb_shared)) != 0) {
        syscall(SYS_close, fd);
        return NULL;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || (size_t)st.st_size < sizeof(tb_shared)) {
        syscall(SYS_close, fd);
        return NULL;
    }
    void *m = mmap(NULL, sizeof(tb_shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    syscall(SYS_close, fd);
    return m == MAP_FAILED ? NULL : (tb_shared *)m;
}
