/* Preload library of the virtual null-modem test bed.
 *
 * Loaded into wineserver and every Wine process of a test prefix (LD_PRELOAD with $LIB, built
 * for i386 and x86_64). It acts only on file descriptors whose device is a pty slave registered
 * in the shared state as one end of a pair, and makes that slave look like a UART wired to its
 * peer by a null-modem cable:
 *  - termios: what the application sets is kept in the shared state and read back unchanged;
 *    the kernel only gets a raw version (a pty would mangle sizes, parity and odd rates);
 *    chosen rates or byte sizes can be refused or replaced;
 *  - modem lines (TIOCMGET/SET/BIS/BIC, TIOCMIWAIT), counters (TIOCGICOUNT), transmitter state
 *    (TIOCSERGETLSR, TIOCOUTQ, tcdrain), TIOCGSERIAL/TIOCSSERIAL and break;
 *  - per-end personalities (TB_PERS_*) that turn parts of that UART into what some real
 *    drivers and devices do instead, e.g. no modem-control lines at all, as on a plain pty;
 *  - opens get O_NOCTTY (wineserver must not adopt a test pty as controlling terminal), opening
 *    an unplugged end fails with ENOENT, and a fresh open starts with an empty input queue.
 * Independently of the test bed, host serial devices (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*)
 * are hidden from Wine so that no test can reach a real UART.
 * Plain C with no dependencies beyond libc, so that the same source builds with gcc -m32. */
#define _GNU_SOURCE
#include "shared_state.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*tcgetattr_fn)(int, struct termios *);
typedef int (*tcsetattr_fn)(int, int, const struct termios *);
typedef int (*tcdrain_fn)(int);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef ssize_t (*read_fn)(int, void *, size_t);
typedef int (*access_fn)(const char *, int);
typedef int (*close_fn)(int);
typedef int (*tcflush_fn)(int, int);

static struct {
    open_fn open, open64;
    openat_fn openat, openat64;
    open2_fn open_2, open64_2;
    ioctl_fn ioctl, ioctl_time64;
    tcgetattr_fn tcgetattr;
    tcsetattr_fn tcsetattr;
    tcdrain_fn tcdrain;
    write_fn write;
    read_fn read;
    access_fn access;
    close_fn close;
    tcflush_fn tcflush;
} real;

static tb_shared *shared;
static pthread_once_t init_once = PTHREAD_ONCE_INIT;

static void init_library(void)
{
    real.open = (open_fn)dlsym(RTLD_NEXT, "open");
    real.open64 = (open_fn)dlsym(RTLD_NEXT, "open64");
    real.openat = (openat_fn)dlsym(RTLD_NEXT, "openat");
    real.openat64 = (openat_fn)dlsym(RTLD_NEXT, "openat64");
    real.open_2 = (open2_fn)dlsym(RTLD_NEXT, "__open_2");
    real.open64_2 = (open2_fn)dlsym(RTLD_NEXT, "__open64_2");
    real.ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    real.ioctl_time64 = (ioctl_fn)dlsym(RTLD_NEXT, "__ioctl_time64");
    real.tcgetattr = (tcgetattr_fn)dlsym(RTLD_NEXT, "tcgetattr");
    real.tcsetattr = (tcsetattr_fn)dlsym(RTLD_NEXT, "tcsetattr");
    real.tcdrain = (tcdrain_fn)dlsym(RTLD_NEXT, "tcdrain");
    real.write = (write_fn)dlsym(RTLD_NEXT, "write");
    real.read = (read_fn)dlsym(RTLD_NEXT, "read");
    real.access = (access_fn)dlsym(RTLD_NEXT, "access");
    real.close = (close_fn)dlsym(RTLD_NEXT, "close");
    real.tcflush = (tcflush_fn)dlsym(RTLD_NEXT, "tcflush");
    if (!real.ioctl_time64) real.ioctl_time64 = real.ioctl;
    if (!real.open64) real.open64 = real.open;
    if (!real.openat64) real.openat64 = real.openat;

    const char *state = getenv("TARVEL_TESTBED_STATE");
    if (state && *state) {
        char path[4096];
        size_t n = strlen(state);
        if (n + sizeof("/shm") < sizeof(path)) {
            memcpy(path, state, n);
            memcpy(path + n, "/shm", sizeof("/shm"));
            tb_shared *s = tb_map_shared(path, 0);
            if (s && s->magic == TB_MAGIC) shared = s;
        }
    }
}

static void ensure_init(void)
{
    pthread_once(&init_once, init_library);
}

/* ---- which fd is a test-bed end ---- */

typedef struct end_ref {
    tb_pair *pair;
    tb_end *self;
    tb_end *peer;
} end_ref;

static int find_end_by_rdev(uint64_t rdev, end_ref *out)
{
    if (!shared || rdev == 0) return 0;
    for (uint32_t i = 0; i < shared->npairs && i < TB_MAX_PAIRS; ++i) {
        tb_pair *p = &shared->pair[i];
        for (int e = 0; e < 2; ++e) {
            if (__atomic_load_n(&p->end[e].rdev, __ATOMIC_ACQUIRE) == rdev) {
                out->pair = p;
                out->self = &p->end[e];
                out->peer = &p->end[1 - e];
                return 1;
            }
        }
    }
    return 0;
}

static int find_end(int fd, end_ref *out)
{
    ensure_init();
    if (!shared || fd < 0) return 0;
    struct stat64 st;
    if (fstat64(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    return find_end_by_rdev((uint64_t)st.st_rdev, out);
}

/* ---- hiding host serial devices ---- */

static int is_host_serial_path(const char *path)
{
    static const char *const hidden[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    if (!path) return 0;
    for (size_t i = 0; i < sizeof(hidden) / sizeof(hidden[0]); ++i) {
        size_t n = strlen(hidden[i]);
        if (strncmp(path, hidden[i], n) == 0) return 1;
    }
    return 0;
}

/* ---- open ---- */

static void make_raw_for_kernel(const struct termios *requested, struct termios *k)
{
    *k = *requested;
    k->c_iflag = requested->c_iflag & (IXON | IXOFF);
    k->c_oflag = 0;
    k->c_lflag = 0;
    k->c_cflag = (requested->c_cflag & (CBAUD | CBAUDEX)) | CS8 | CREAD | CLOCAL;
}

static int fd_is_device(int fd, uint64_t rdev)
{
    struct stat64 st;
    return fstat64(fd, &st) == 0 && S_ISCHR(st.st_mode) && (uint64_t)st.st_rdev == rdev;
}

static int process_alive(uint32_t pid)
{
    return kill((pid_t)pid, 0) == 0 || errno == EPERM;
}

/* A UART opens exclusively. The opener is remembered with its fd; it is forgotten when that
 * fd is closed or the process is gone. Pair locked. */
static int claim_end(tb_end *e, int fd)
{
    uint32_t me = (uint32_t)getpid();
    uint32_t holder = e->opener_pid;
    if (holder != 0 && process_alive(holder)) {
        if (holder != me) return 0;
        if (e->opener_fd != fd && fd_is_device(e->opener_fd, e->rdev)) return 0;
    }
    e->opener_pid = me;
    e->opener_fd = fd;
    return 1;
}

static void release_end_of_fd(int fd)
{
    if (!shared || fd < 0) return;
    uint32_t me = (uint32_t)getpid();
    for (uint32_t i = 0; i < shared->npairs && i < TB_MAX_PAIRS; ++i) {
        tb_pair *p = &shared->pair[i];
        for (int e = 0; e < 2; ++e) {
            tb_end *end = &p->end[e];
            if (__atomic_load_n(&end->opener_pid, __ATOMIC_ACQUIRE) != me || end->opener_fd != fd) continue;
            tb_lock_pair(p);
            if (end->opener_pid == me && end->opener_fd == fd && fd_is_device(fd, end->rdev)) {
                end->opener_pid = 0;
                end->opener_fd = -1;
            }
            tb_unlock_pair(p);
        }
    }
}

/* Called after a successful open: refuse unplugged or busy ends, drop stale input, force raw mode. */
static int after_open(int fd)
{
    if (fd < 0) return fd;
    end_ref r;
    if (!find_end(fd, &r)) return fd;
    if (!__atomic_load_n(&r.self->plugged, __ATOMIC_ACQUIRE)) {
        real.close(fd);
        errno = ENOENT;
        return -1;
    }
    tb_lock_pair(r.pair);
    int claimed = claim_end(r.self, fd);
    tb_unlock_pair(r.pair);
    if (!claimed) {
        real.close(fd);
        errno = EACCES;
        return -1;
    }
    struct termios k, requested;
    tb_lock_pair(r.pair);
    int have = r.self->termios_valid;
    if (have) memcpy(&requested, r.self->termios, sizeof(requested));
    tb_unlock_pair(r.pair);
    if (have && real.tcgetattr(fd, &k) == 0) {
        make_raw_for_kernel(&requested, &k);
        real.tcsetattr(fd, TCSANOW, &k);
    }
    real.ioctl(fd, TCFLSH, TCIFLUSH);
    return fd;
}

static int hidden_open(const char *path)
{
    if (is_host_serial_path(path)) {
        errno = ENOENT;
        return 1;
    }
    return 0;
}

static mode_t mode_arg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

EXPORT int open(const char *path, int flags, ...)
{
    ensure_init();
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (hidden_open(path)) return -1;
    return after_open(real.open(path, flags | O_NOCTTY, mode));
}

EXPORT int open64(const char *path, int flags, ...)
{
    ensure_init();
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (hidden_open(path)) return -1;
    return after_open(real.open64(path, flags | O_NOCTTY, mode));
}

EXPORT int __open_2(const char *path, int flags)
{
    ensure_init();
    if (hidden_open(path)) return -1;
    return after_open(real.open_2 ? real.open_2(path, flags | O_NOCTTY) : real.open(path, flags | O_NOCTTY));
}

EXPORT int __open64_2(const char *path, int flags)
{
    ensure_init();
    if (hidden_open(path)) return -1;
    return after_open(real.open64_2 ? real.open64_2(path, flags | O_NOCTTY) : real.open64(path, flags | O_NOCTTY));
}

EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    ensure_init();
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (hidden_open(path)) return -1;
    return after_open(real.openat(dirfd, path, flags | O_NOCTTY, mode));
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    ensure_init();
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (hidden_open(path)) return -1;
    return after_open(real.openat64(dirfd, path, flags | O_NOCTTY, mode));
}

EXPORT int close(int fd)
{
    ensure_init();
    release_end_of_fd(fd);
    return real.close(fd);
}

EXPORT int access(const char *path, int how)
{
    ensure_init();
    if (is_host_serial_path(path)) {
        errno = ENOENT;
        return -1;
    }
    return real.access(path, how);
}

/* ---- termios ---- */

static uint32_t speed_to_rate(speed_t s)
{
    static const struct { speed_t code; uint32_t rate; } table[] = {
        {B0, 0}, {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200},
        {B300, 300}, {B600, 600}, {B1200, 1200}, {B1800, 1800}, {B2400, 2400}, {B4800, 4800},
        {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B500000, 500000}, {B576000, 576000},
        {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
        {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000},
        {B4000000, 4000000},
    };
    for (size_t i = 0; i < sizeof(table) / sizeof(table[0]); ++i)
        if (table[i].code == s) return table[i].rate;
    return 0;
}

static speed_t rate_to_speed(uint32_t rate)
{
    for (speed_t candidate = 0; candidate <= B4000000; ++candidate) {
        if ((candidate & ~(speed_t)(CBAUD | CBAUDEX)) != 0) continue;
        if (speed_to_rate(candidate) == rate && (rate != 0 || candidate == B0)) return candidate;
    }
    return (speed_t)-1;
}

/* The rate an application asks for: a speed constant, or the custom divisor behind B38400. */
static uint32_t requested_rate(const tb_end *e, const struct termios *t)
{
    speed_t s = cfgetospeed(t);
    if (s == B38400 && (e->serial_flags & ASYNC_SPD_MASK) == ASYNC_SPD_CUST && e->custom_divisor)
        return e->baud_base / e->custom_divisor;
    return speed_to_rate(s);
}

/* A rate set through a custom divisor comes back as baud_base / divisor: close, not exact. */
static int rates_match(uint32_t requested, uint32_t refused)
{
    uint32_t diff = requested > refused ? requested - refused : refused - requested;
    return (uint64_t)diff * 200u <= refused;
}

static unsigned byte_size(const struct termios *t)
{
    switch (t->c_cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

/* Applies the test's refusals to a requested setting. Returns 0 to refuse it, else 1 with
 * *kept holding what the "driver" keeps. Pair locked. */
static int accept_setting(const tb_end *e, const struct termios *asked, struct termios *kept)
{
    *kept = *asked;
    if (e->refused_sizes & (1u << byte_size(asked))) return 0;
    uint32_t rate = requested_rate(e, asked);
    for (uint32_t i = 0; i < e->nrefused && i < TB_MAX_REFUSED; ++i) {
        if (!rates_match(rate, e->refused[i].rate)) continue;
        if (e->refused[i].substitute == 0) return 0;
        speed_t s = rate_to_speed(e->refused[i].substitute);
        if (s == (speed_t)-1) return 0;
        cfsetospeed(kept, s);
        cfsetispeed(kept, s);
        return 1;
    }
    return 1;
}

EXPORT int tcgetattr(int fd, struct termios *t)
{
    ensure_init();
    int rc = real.tcgetattr(fd, t);
    end_ref r;
    if (rc != 0 || !find_end(fd, &r)) return rc;
    tb_lock_pair(r.pair);
    if (r.self->termios_valid) memcpy(t, r.self->termios, sizeof(*t));
    tb_unlock_pair(r.pair);
    return 0;
}

EXPORT int tcsetattr(int fd, int action, const struct termios *t)
{
    ensure_init();
    end_ref r;
    if (!t || !find_end(fd, &r)) return real.tcsetattr(fd, action, t);
    struct termios kept, k;
    tb_lock_pair(r.pair);
    int ok = accept_setting(r.self, t, &kept);
    if (ok) {
        memcpy(r.self->termios, &kept, sizeof(kept));
        r.self->termios_valid = 1;
    }
    tb_unlock_pair(r.pair);
    if (!ok) {
        errno = EINVAL;
        return -1;
    }
    if (real.tcgetattr(fd, &k) != 0) return -1;
    make_raw_for_kernel(&kept, &k);
    return real.tcsetattr(fd, action, &k);
}

static uint64_t out_queue(const end_ref *r)
{
    uint64_t w = __atomic_load_n(&r->self->written, __ATOMIC_ACQUIRE);
    uint64_t t = __atomic_load_n(&r->self->taken, __ATOMIC_ACQUIRE);
    return w > t ? w - t : 0;
}

static void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

/* Discarded output never reaches the wire: count it as taken, and have the daemon drop what
 * it still holds or has not read yet from this end. */
static void discard_output(end_ref *r)
{
    tb_lock_pair(r->pair);
    r->self->taken = r->self->written;
    r->self->tx_flushes++;
    tb_unlock_pair(r->pair);
}

/* Wine's PurgeComm calls tcflush, whose ioctl stays inside libc. */
EXPORT int tcflush(int fd, int queue)
{
    ensure_init();
    end_ref r;
    if ((queue == TCOFLUSH || queue == TCIOFLUSH) && find_end(fd, &r)) discard_output(&r);
    return real.tcflush(fd, queue);
}

EXPORT int tcdrain(int fd)
{
    ensure_init();
    end_ref r;
    if (!find_end(fd, &r)) return real.tcdrain(fd);
    /* Wait until the daemon has taken every written byte off the wire (bounded). */
    for (int i = 0; i < 30000 && out_queue(&r) != 0; ++i) sleep_ms(1);
    return 0;
}

/* ---- write: count what goes on the wire ---- */

static int aborted_by_line_error(end_ref *r);

EXPORT ssize_t write(int fd, const void *buf, size_t len)
{
    ensure_init();
    end_ref r;
    if (len == 0 || !shared || !find_end(fd, &r)) return real.write(fd, buf, len);
    if (aborted_by_line_error(&r)) return -1;
    /* Counted before the write so that the daemon never sees more taken than written. */
    __atomic_add_fetch(&r.self->written, (uint64_t)len, __ATOMIC_ACQ_REL);
    ssize_t n = real.write(fd, buf, len);
    uint64_t unwritten = n < 0 ? len : len - (size_t)n;
    if (unwritten) __atomic_sub_fetch(&r.self->written, unwritten, __ATOMIC_ACQ_REL);
    return n;
}

/* ---- read: count the requests the "driver" serves ---- */

static int has_personality(const end_ref *r, uint32_t bit);

static uint32_t line_errors(const tb_end *e)
{
    return (uint32_t)(e->count.frame + e->count.overrun + e->count.parity);
}

/* A driver with abort-on-error set fails every read and write after a line error until the
 * application clears the errors (ClearCommError). Wine has no errno that it would turn into
 * ERROR_OPERATION_ABORTED, so the requests fail with ETIME (ERROR_SEM_TIMEOUT) instead. */
static int aborted_by_line_error(end_ref *r)
{
    if (!has_personality(r, TB_PERS_ABORT_ON_ERROR)) return 0;
    tb_lock_pair(r->pair);
    int aborted = line_errors(r->self) != r->self->errors_cleared;
    tb_unlock_pair(r->pair);
    if (aborted) errno = ETIME;
    return aborted;
}

/* Wine's ClearCommError asks for the output and then the input queue (TIOCOUTQ, TIOCINQ);
 * nothing else in Wine's serial code asks for the input queue of a port without EV_RXCHAR. */
static void clear_line_errors(end_ref *r)
{
    tb_lock_pair(r->pair);
    r->self->errors_cleared = line_errors(r->self);
    tb_unlock_pair(r->pair);
}

EXPORT ssize_t read(int fd, void *buf, size_t len)
{
    ensure_init();
    end_ref r;
    if (len == 0 || !shared || !find_end(fd, &r)) return real.read(fd, buf, len);
    __atomic_add_fetch(&r.self->reads, 1u, __ATOMIC_ACQ_REL);
    if (aborted_by_line_error(&r)) return -1;
    /* Nothing read, nothing consumed. Wine completes the read with ERROR_SEM_TIMEOUT (121) and
     * no byte; a read() of 0 would be a hang-up to Wine (ERROR_BROKEN_PIPE). */
    if (has_personality(&r, TB_PERS_EMPTY_READS)) {
        errno = ETIME;
        return -1;
    }
    return real.read(fd, buf, len);
}

/* ---- ioctl ---- */

static int modem_lines(const end_ref *r)
{
    return (int)(r->self->out_lines | r->self->in_lines);
}

static int set_lines(end_ref *r, unsigned long req, int arg)
{
    uint32_t bits = (uint32_t)arg & (TB_DTR | TB_RTS);
    tb_lock_pair(r->pair);
    if (req == TIOCMSET) r->self->out_lines = bits;
    else if (req == TIOCMBIS) r->self->out_lines |= bits;
    else r->self->out_lines &= ~bits;
    tb_update_lines(r->pair);
    tb_unlock_pair(r->pair);
    return 0;
}

static int wait_lines(end_ref *r, int mask)
{
    uint32_t watched = (uint32_t)mask & (TB_CTS | TB_DSR | TB_CAR | TB_RNG);
    tb_lock_pair(r->pair);
    tb_counters start = r->self->count;
    tb_unlock_pair(r->pair);
    for (;;) {
        sleep_ms(1);
        tb_lock_pair(r->pair);
        tb_counters now = r->self->count;
        uint64_t rdev = r->self->rdev;
        tb_unlock_pair(r->pair);
        if (((watched & TB_CTS) && now.cts != start.cts) || ((watched & TB_DSR) && now.dsr != start.dsr)
            || ((watched & TB_CAR) && now.dcd != start.dcd) || ((watched & TB_RNG) && now.rng != start.rng))
            return 0;
        if (rdev == 0) {
            errno = EIO;
            return -1;
        }
    }
}

static void fill_serial(const tb_end *e, struct serial_struct *ss)
{
    memset(ss, 0, sizeof(*ss));
    ss->type = PORT_16550A;
    ss->xmit_fifo_size = 16;
    ss->baud_base = (int)e->baud_base;
    ss->custom_divisor = (int)e->custom_divisor;
    ss->flags = (int)e->serial_flags;
    ss->close_delay = 50;
    ss->closing_wait = 3000;
}

static void send_break(end_ref *r, int on)
{
    tb_lock_pair(r->pair);
    if (on && !r->self->break_on) {
        r->peer->count.brk++;
        r->peer->lsr_errors |= 0x10; /* UART_LSR_BI */
    }
    r->self->break_on = on ? 1u : 0u;
    tb_unlock_pair(r->pair);
}

static int has_personality(const end_ref *r, uint32_t bit)
{
    return (__atomic_load_n(&r->self->personality, __ATOMIC_ACQUIRE) & bit) != 0;
}

static int is_modem_line_request(unsigned long req)
{
    return req == TIOCMGET || req == TIOCMSET || req == TIOCMBIS || req == TIOCMBIC || req == TIOCMIWAIT;
}

/* Wine watches the modem lines of a pending line-event wait from a thread of its own that
 * asks for them about once a millisecond, and cancels the wait (ERROR_OPERATION_ABORTED) when
 * one of those requests fails. Failing the 20th of an unbroken run of such rapid requests in
 * one thread cancels a wait that has been pending for about 20 ms, while the requests that
 * arm a wait (one per wait, from the application's thread) never form such a run. */
static __thread struct {
    struct timespec last;
    int rapid;
} poll_run;

static int fails_this_poll(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long gap_us = (long long)(now.tv_sec - poll_run.last.tv_sec) * 1000000 + (now.tv_nsec - poll_run.last.tv_nsec) / 1000;
    poll_run.last = now;
    poll_run.rapid = gap_us < 5000 ? poll_run.rapid + 1 : 0;
    if (poll_run.rapid < 19) return 0;
    poll_run.rapid = 0;
    return 1;
}

/* What a pty answers to a request its driver does not implement. */
static int not_for_this_device(void)
{
    errno = ENOTTY;
    return -1;
}

static int emulate_ioctl(end_ref *r, ioctl_fn next, int fd, unsigned long req, void *arg)
{
    if (is_modem_line_request(req) && has_personality(r, TB_PERS_NO_MODEM_LINES)) return not_for_this_device();
    switch (req) {
    case TIOCMGET:
        if (!arg) break;
        if (has_personality(r, TB_PERS_WAIT_ABORTS) && fails_this_poll()) {
            errno = EIO;
            return -1;
        }
        tb_lock_pair(r->pair);
        *(int *)arg = modem_lines(r);
        tb_unlock_pair(r->pair);
        return 0;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        if (!arg) break;
        return set_lines(r, req, *(int *)arg);
    case TIOCMIWAIT:
        return wait_lines(r, (int)(intptr_t)arg);
    case TIOCGICOUNT: {
        if (!arg) break;
        struct serial_icounter_struct *ic = arg;
        memset(ic, 0, sizeof(*ic));
        tb_lock_pair(r->pair);
        const tb_counters *c = &r->self->count;
        ic->cts = c->cts; ic->dsr = c->dsr; ic->rng = c->rng; ic->dcd = c->dcd;
        ic->rx = c->rx; ic->tx = c->tx; ic->frame = c->frame; ic->overrun = c->overrun;
        ic->parity = c->parity; ic->brk = c->brk; ic->buf_overrun = c->buf_overrun;
        tb_unlock_pair(r->pair);
        return 0;
    }
    case TIOCSERGETLSR:
        if (!arg) break;
        *(int *)arg = out_queue(r) == 0 ? TIOCSER_TEMT : 0;
        return 0;
    case TIOCINQ:
        if (has_personality(r, TB_PERS_ABORT_ON_ERROR)) clear_line_errors(r);
        break;
    case TIOCOUTQ:
        if (!arg) break;
        *(int *)arg = (int)out_queue(r);
        return 0;
    case TIOCGSERIAL:
        if (!arg) break;
        tb_lock_pair(r->pair);
        fill_serial(r->self, arg);
        tb_unlock_pair(r->pair);
        return 0;
    case TIOCSSERIAL: {
        if (!arg) break;
        const struct serial_struct *ss = arg;
        tb_lock_pair(r->pair);
        r->self->custom_divisor = (uint32_t)ss->custom_divisor;
        r->self->serial_flags = (uint32_t)ss->flags;
        tb_unlock_pair(r->pair);
        return 0;
    }
    case TIOCSBRK:
        send_break(r, 1);
        return 0;
    case TIOCCBRK:
        send_break(r, 0);
        return 0;
    case TCSBRK:
    case TCSBRKP:
        if ((intptr_t)arg == 0 || req == TCSBRKP) { /* a timed break: one break event on the peer */
            send_break(r, 1);
            send_break(r, 0);
        }
        return 0;
    case TCFLSH:
        if ((intptr_t)arg == TCOFLUSH || (intptr_t)arg == TCIOFLUSH) {
            discard_output(r);
        }
        break;
    default:
        break;
    }
    return next(fd, req, arg);
}

static int ioctl_common(ioctl_fn next, int fd, unsigned long req, void *arg)
{
    end_ref r;
    if (!find_end(fd, &r)) return next(fd, req, arg);
    return emulate_ioctl(&r, next, fd, req, arg);
}

EXPORT int ioctl(int fd, unsigned long req, ...)
{
    ensure_init();
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return ioctl_common(real.ioctl, fd, req, arg);
}

EXPORT int __ioctl_time64(int fd, unsigned long req, ...)
{
    ensure_init();
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return ioctl_common(real.ioctl_time64, fd, req, arg);
}
