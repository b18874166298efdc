/* Line state of the virtual null-modem pairs, shared through a mapped file between the
 * test-bed daemon and the preload library inside every Wine process (32- and 64-bit).
 * The layout uses fixed-width fields with explicit 8-byte alignment, so that i386 and
 * x86_64 code see the same offsets; tb_layout_check() pins the size.
 * Plain C: the preload library is C, the daemon and the tool are C++. */
#ifndef TARVEL_TESTBED_SHARED_STATE_H
#define TARVEL_TESTBED_SHARED_STATE_H

#include <stdint.h>

#define TB_MAGIC 0x54565236u /* "TVR6": bump whenever the layout changes */
#define TB_MAX_PAIRS 40
/* Two ranges of 20 pairs: pair k < 20 has end A on COM(10+2k) and end B on COM(11+2k); pair
 * k >= 20 the same from COM110 (so that COM50..COM109 and COM150 up stay free to be "missing"
 * ports). Leases hand out the lowest free pair, so the second range is used only when more
 * than 20 pairs are leased at once (a benchmark or soak of many ports). */
#define TB_PAIRS_PER_RANGE 20
#define TB_FIRST_COM 10
#define TB_SECOND_RANGE_COM 110
#define TB_MAX_REFUSED 8

typedef uint64_t tb_u64 __attribute__((aligned(8)));

/* Bits of tb_end.out_lines / in_lines: the Linux TIOCM_* values. */
#define TB_DTR 0x002
#define TB_RTS 0x004
#define TB_CTS 0x020
#define TB_CAR 0x040
#define TB_RNG 0x080
#define TB_DSR 0x100

/* Bits of tb_end.personality: ways in which the "driver" of one end departs from a perfect
 * UART, as some real drivers and devices do. Chosen per end by the test (PERSONALITY command),
 * cleared with every lease. Each bit is honoured by the preload (and the daemon where the
 * wire is concerned); new ones get the next free bit and a name in the daemon's table. */
#define TB_PERS_NO_MODEM_LINES 0x001u /* TIOCM* requests fail as on a pty: no DTR/RTS/DSR/CTS/DCD/RI */
#define TB_PERS_WAIT_ABORTS 0x002u    /* a line-event wait pending for ~20 ms is cancelled (one poll of the lines fails) */
#define TB_PERS_EMPTY_READS 0x004u    /* reads complete at once with a time-out and nothing, the input stays queued */
#define TB_PERS_STALLED_WRITES 0x008u /* the wire stops taking this end's output */
#define TB_PERS_ABORT_ON_ERROR 0x010u /* after a line error, reads and writes fail until the errors are cleared */

typedef struct tb_refused {
    uint32_t rate;        /* baud rate the "driver" does not take */
    uint32_t substitute;  /* 0: the setting fails and the old rate stays; else the rate kept instead */
} tb_refused;

typedef struct tb_counters { /* same meaning as struct serial_icounter_struct */
    int32_t cts, dsr, rng, dcd, rx, tx, frame, overrun, parity, brk, buf_overrun;
    int32_t pad;
} tb_counters;

typedef struct tb_end {
    tb_u64 rdev;             /* device number of this end's pty slave; 0 while none */
    tb_u64 written;          /* bytes the application wrote to the slave (counted by the preload) */
    tb_u64 taken;            /* bytes the daemon took off the wire (delivered or dropped) */
    uint32_t plugged;        /* 0: opening this end fails with ENOENT */
    uint32_t is_open;        /* daemon's view: some process holds the slave open */
    uint32_t out_lines;      /* TB_DTR | TB_RTS as driven by this end */
    uint32_t in_lines;       /* TB_CTS | TB_DSR | TB_CAR | TB_RNG as this end sees them */
    int32_t dcd_force;       /* -1: DCD follows the peer's DTR; 0/1: forced by the test */
    uint32_t ri;             /* ring indicator seen by this end, set by the test */
    uint32_t break_on;       /* this end holds its transmit line in break */
    uint32_t termios_valid;  /* termios[] holds what the application last set */
    uint8_t termios[64];     /* struct termios as requested (60 bytes on Linux i386 and x86_64) */
    uint32_t refused_sizes;  /* bit n set: byte size n is refused */
    uint32_t nrefused;
    tb_refused refused[TB_MAX_REFUSED];
    uint32_t custom_divisor; /* TIOCGSERIAL/TIOCSSERIAL emulation */
    uint32_t baud_base;
    uint32_t serial_flags;
    uint32_t lsr_errors;     /* line-status error bits injected so far (informational: Wine reads none) */
    tb_counters count;
    uint32_t opener_pid;     /* process holding the slave open (wineserver): ports open exclusively */
    int32_t opener_fd;
    uint32_t tx_flushes;     /* bumped when the application discards its output queue */
    uint32_t personality;    /* TB_PERS_* bits; 0: a perfect UART */
    uint32_t reads;          /* read() calls on the slave (requests the driver served), counted by the preload */
    uint32_t errors_cleared; /* frame + overrun + parity counts when the application last cleared them */
} tb_end;

typedef struct tb_pair {
    uint32_t lock;           /* thread id of the holder, 0 when free */
    uint32_t leased;
    uint32_t pacing;         /* 1: bytes cross at the sender's configured rate */
    uint32_t generation;     /* bumped on every lease */
    tb_end end[2];
} tb_pair;

typedef struct tb_shared {
    uint32_t magic;
    uint32_t npairs;
    uint32_t first_com;
    uint32_t daemon_pid;
    tb_pair pair[TB_MAX_PAIRS];
} tb_shared;

#define TB_END_SIZE 280
#ifdef __cplusplus
#define TB_STATIC_ASSERT static_assert
#else
#define TB_STATIC_ASSERT _Static_assert
#endif
TB_STATIC_ASSERT(sizeof(tb_end) == TB_END_SIZE, "tb_end layout differs between builds");
TB_STATIC_ASSERT(sizeof(tb_pair) == 16 + 2 * TB_END_SIZE, "tb_pair layout differs between builds");

/* COM number of end e (0 = A, 1 = B) of pair p. */
static inline int tb_pair_com(int p, int e)
{
    return p < TB_PAIRS_PER_RANGE ? TB_FIRST_COM + 2 * p + e
                                  : TB_SECOND_RANGE_COM + 2 * (p - TB_PAIRS_PER_RANGE) + e;
}

#ifdef __cplusplus
extern "C" {
#endif

/* Spin lock on a pair that survives a holder that died: a lock whose holder no longer
 * exists is taken over. Critical sections are a few loads and stores. Asynchronous signals
 * sent to the holding thread are delivered when it unlocks (see shared_state.c). */
void tb_lock_pair(tb_pair *p);
void tb_unlock_pair(tb_pair *p);

/* Recomputes both ends' input lines from the outputs and test settings and counts the
 * edges (TIOCGICOUNT). Call with the pair locked after any change of lines. */
void tb_update_lines(tb_pair *p);

/* Maps the shared state file; returns NULL on failure. */
tb_shared *tb_map_shared(const char *path, int create);

#ifdef __cplusplus
}
#endif

#endif
