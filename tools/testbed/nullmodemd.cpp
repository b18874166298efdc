// nullmodemd: the daemon of the virtual null-modem test bed.
//
// One daemon serves one Wine prefix. It creates TB_MAX_PAIRS pairs of ptys, links each end's
// slave as <state>/comN (the prefix maps COMN to that link), moves bytes between the two
// masters of a pair (optionally paced at the sender's configured rate), keeps the shared line
// state that the preload library reads and writes, and answers a small text protocol on
// 127.0.0.1 (port in <state>/port) through which tests lease a pair and drive the far end.
// A lease lasts as long as the client's connection; the pair is reset when it ends.
//
//   nullmodemd --ensure --state DIR [--prefix PREFIX]   start unless running, wait until ready
//   nullmodemd --foreground --state DIR [--prefix PREFIX]
//
// The daemon ends by itself when no lease is held and the prefix's wineserver has been gone
// for a while, or after a long idle time; it never leaves children behind.
#include "shared_state.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Reported by TIOCGSERIAL: large, so that baud_base / (baud_base / rate) recovers any rate a
// program asks for through a custom divisor to within 0.5 %.
constexpr uint32_t kBaudBase = 24000000;
constexpr size_t kWireBuffer = 4096;        // bytes in flight per direction inside the daemon
constexpr int kWineserverGraceSeconds = 20; // no wineserver and no lease for this long: exit
constexpr int kIdleLimitSeconds = 1800;     // no client at all for this long: exit

// Names of the driver personalities in the control protocol (bits of tb_end.personality).
// A new personality: a TB_PERS_* bit in shared_state.h, a row here, its behaviour in the
// preload (or in this daemon when it concerns the wire), and its name in the client.
const struct {
    const char *name;
    uint32_t bit;
} kPersonalities[] = {
    {"no-modem-lines", TB_PERS_NO_MODEM_LINES},
    {"wait-aborts", TB_PERS_WAIT_ABORTS},
    {"empty-reads", TB_PERS_EMPTY_READS},
    {"stalled-writes", TB_PERS_STALLED_WRITES},
    {"abort-on-error", TB_PERS_ABORT_ON_ERROR},
};

// "name name ..." -> bits; false on an unknown name. "none" (or nothing) is the perfect UART.
bool ParsePersonalities(std::istream &in, uint32_t &bits, std::string &unknown)
{
    bits = 0;
    std::string word;
    while (in >> word) {
        if (word == "none") continue;
        bool found = false;
        for (auto &p : kPersonalities)
            if (word == p.name) bits |= p.bit, found = true;
        if (!found) {
            unknown = word;
            return false;
        }
    }
    return true;
}

volatile sig_atomic_t stopRequested = 0;

void OnTerminate(int) { stopRequested = 1; }

struct Options {
    bool ensure = false;
    bool foreground = false;
    std::string state;
    std::string prefix;
};

// ---- one end of a pair: pty master plus its published slave ----
struct PtyEnd {
    int master = -1;
    std::string slavePath;
    bool open = false;          // some process holds the slave open
    bool externalLines = false; // DTR/RTS set through the protocol for an end nobody opened
};

// Bytes on their way from end `from` to the other end, with the pacing credit.
struct Direction {
    std::vector<unsigned char> buf;
    uint32_t flushesSeen = 0; // the sender's tx_flushes when its output was last discarded
    double credit = 0;
    Clock::time_point last = Clock::now();
};

struct Pair {
    PtyEnd end[2];
    Direction dir[2];
    int owner = -1; // client socket holding the lease
};

struct Client {
    int fd;
    std::string in;
    int pair = -1;
};

class CDaemon {
public:
    explicit CDaemon(Options o) : opt(std::move(o)) {}
    int Run();

private:
    bool SetUp();
    void TearDown();
    bool CreateEnd(int p, int e);
    void HangUpEnd(int p, int e);
    void ResetPair(int p);
    void PollOnce();
    void CheckClosedEnds();
    void DrainClosed(int p, int e);
    void CheckFlushes();
    bool OpenedSinceLastCheck(int p, int e);
    void MarkOpen(int p, int e, bool isOpen);
    void MoveBytes(int p, int from, bool readable, bool writable);
    size_t Budget(int p, int from);
    size_t Crossing(int p, int from);
    void AcceptClient();
    bool ServeClient(Client &c);
    std::string Handle(Client &c, const std::string &line);
    void Release(Client &c);
    bool ShouldExit();
    bool WineserverRunning() const;

    std::string ComLink(int p, int e) const {
        return opt.state + "/com" + std::to_string(tb_pair_com(p, e));
    }
    tb_pair &Shared(int p) { return shm->pair[p]; }

    Options opt;
    tb_shared *shm = nullptr;
    int lockFd = -1;
    int listenFd = -1;
    Pair pairs[TB_MAX_PAIRS];
    std::vector<Client> clients;
    Clock::time_point lastClientSeen = Clock::now();
    Clock::time_point wineserverLastSeen = Clock::now();
    Clock::time_point lastClosedCheck = Clock::now();
};

bool WriteFileAtomically(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f) return false;
    std::fputs(text.c_str(), f);
    if (std::fclose(f) != 0) return false;
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool LinkAtomically(const std::string &target, const std::string &link)
{
    std::string tmp = link + ".tmp";
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) return false;
    return std::rename(tmp.c_str(), link.c_str()) == 0;
}

void DefaultTermios(tb_end &e)
{
    struct termios t {};
    cfmakeraw(&t);
    t.c_cflag = CS8 | CREAD | CLOCAL;
    cfsetospeed(&t, B9600);
    cfsetispeed(&t, B9600);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    t.c_cc[VEOF] = 0x04;
    std::memcpy(e.termios, &t, sizeof(t));
    e.termios_valid = 1;
}

// Bits per character on the wire and characters per second for a configured end.
double CharsPerSecond(const tb_end &e)
{
    struct termios t;
    std::memcpy(&t, e.termios, sizeof(t));
    static const struct { speed_t code; double rate; } table[] = {
        {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200}, {B300, 300},
        {B600, 600}, {B1200, 1200}, {B1800, 1800}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600},
        {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
        {B460800, 460800}, {B921600, 921600}};
    double rate = 9600;
    speed_t s = cfgetospeed(&t);
    for (auto &row : table)
        if (row.code == s) rate = row.rate;
    if (s == B38400 && e.custom_divisor && (e.serial_flags & 0x1030) == 0x0030)
        rate = double(e.baud_base) / e.custom_divisor;
    int bits = 1 + 5 + int((t.c_cflag & CSIZE) >> 4) + ((t.c_cflag & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
    return rate / bits;
}

unsigned char SizeMask(const tb_end &e)
{
    struct termios t;
    std::memcpy(&t, e.termios, sizeof(t));
    switch (t.c_cflag & CSIZE) {
    case CS5: return 0x1f;
    case CS6: return 0x3f;
    case CS7: return 0x7f;
    default: return 0xff;
    }
}

bool CDaemon::SetUp()
{
    mkdir(opt.state.c_str(), 0700);
    lockFd = open((opt.state + "/daemon.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0 || flock(lockFd, LOCK_EX | LOCK_NB) != 0) return false;

    std::string shmPath = opt.state + "/shm";
    unlink(shmPath.c_str()); // a fresh file: stale mappings of an earlier daemon never alias
    shm = tb_map_shared(shmPath.c_str(), 1);
    if (!shm) return false;
    std::memset(static_cast<void *>(shm), 0, sizeof(*shm));
    shm->npairs = TB_MAX_PAIRS;
    shm->first_com = TB_FIRST_COM;
    shm->daemon_pid = uint32_t(getpid());
    for (int p = 0; p < TB_MAX_PAIRS; ++p) {
        ResetPair(p);
        for (int e = 0; e < 2; ++e)
            if (!CreateEnd(p, e)) return false;
    }
    __atomic_store_n(&shm->magic, TB_MAGIC, __ATOMIC_RELEASE);

    listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0
        || listen(listenFd, 64) != 0 || getsockname(listenFd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return false;
    WriteFileAtomically(opt.state + "/daemon.pid", std::to_string(getpid()) + "\n");
    return WriteFileAtomically(opt.state + "/port", std::to_string(ntohs(addr.sin_port)) + "\n");
}

void CDaemon::TearDown()
{
    unlink((opt.state + "/port").c_str());
    unlink((opt.state + "/daemon.pid").c_str());
    for (auto &c : clients) close(c.fd);
    for (auto &p : pairs)
        for (auto &e : p.end)
            if (e.master >= 0) close(e.master);
    if (listenFd >= 0) close(listenFd);
}

// Creates (or re-creates after a hang-up) the pty of one end and publishes its slave.
bool CDaemon::CreateEnd(int p, int e)
{
    PtyEnd &end = pairs[p].end[e];
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) {
        if (m >= 0) close(m);
        return false;
    }
    const char *name = ptsname(m);
    if (!name) {
        close(m);
        return false;
    }
    // Open and close the slave once: raw settings, and the master then reports "no opener"
    // (POLLHUP) until a test opens the port.
    int s = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (s < 0 || fstat(s, &st) != 0) {
        if (s >= 0) close(s);
        close(m);
        return false;
    }
    struct termios t;
    if (tcgetattr(s, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CREAD | CLOCAL;
        tcsetattr(s, TCSANOW, &t);
    }
    close(s);
    end.master = m;
    end.slavePath = name;
    end.open = false;
    tb_pair &sp = Shared(p);
    tb_lock_pair(&sp);
    sp.end[e].is_open = 0;
    sp.end[e].opener_pid = 0;
    sp.end[e].opener_fd = -1;
    __atomic_store_n(&sp.end[e].rdev, uint64_t(st.st_rdev), __ATOMIC_RELEASE);
    tb_unlock_pair(&sp);
    return LinkAtomically(end.slavePath, ComLink(p, e));
}

// Closes the master: every open handle on the slave sees a hang-up (reads end, writes fail).
void CDaemon::HangUpEnd(int p, int e)
{
    tb_pair &sp = Shared(p);
    tb_lock_pair(&sp);
    __atomic_store_n(&sp.end[e].rdev, uint64_t(0), __ATOMIC_RELEASE);
    tb_unlock_pair(&sp);
    MarkOpen(p, e, false);
    if (pairs[p].end[e].master >= 0) close(pairs[p].end[e].master);
    pairs[p].end[e].master = -1;
    CreateEnd(p, e);
}

void CDaemon::ResetPair(int p)
{
    tb_pair &sp = Shared(p);
    tb_lock_pair(&sp);
    sp.pacing = 0;
    sp.generation++;
    for (auto &e : sp.end) {
        e.plugged = 1;
        e.out_lines = 0;
        e.dcd_force = -1;
        e.ri = 0;
        e.break_on = 0;
        DefaultTermios(e);
        e.refused_sizes = 0;
        e.nrefused = 0;
        e.custom_divisor = 0;
        e.baud_base = kBaudBase;
        e.serial_flags = 0;
        e.lsr_errors = 0;
        e.personality = 0;
        e.reads = 0;
        e.errors_cleared = 0;
        std::memset(&e.count, 0, sizeof(e.count));
        __atomic_store_n(&e.taken, __atomic_load_n(&e.written, __ATOMIC_ACQUIRE), __ATOMIC_RELEASE);
    }
    tb_update_lines(&sp);
    std::memset(&sp.end[0].count, 0, sizeof(sp.end[0].count));
    std::memset(&sp.end[1].count, 0, sizeof(sp.end[1].count));
    tb_unlock_pair(&sp);
    for (auto &e : pairs[p].end) e.externalLines = false;
    for (auto &d : pairs[p].dir) {
        d.buf.clear();
        d.credit = 0;
        d.last = Clock::now();
    }
    for (auto &e : pairs[p].end)
        if (e.master >= 0) tcflush(e.master, TCIOFLUSH);
}

// The close of a port drops its DTR and RTS, as a UART driver does; bytes still queued
// towards a closed port are lost, as on a cable whose far end is not listening.
void CDaemon::MarkOpen(int p, int e, bool isOpen)
{
    PtyEnd &end = pairs[p].end[e];
    if (end.open == isOpen) return;
    end.open = isOpen;
    end.externalLines = false;
    tb_pair &sp = Shared(p);
    tb_lock_pair(&sp);
    sp.end[e].is_open = isOpen ? 1 : 0;
    if (!isOpen) {
        sp.end[e].out_lines = 0;
        sp.end[e].break_on = 0;
        __atomic_store_n(&sp.end[e].taken, __atomic_load_n(&sp.end[e].written, __ATOMIC_ACQUIRE), __ATOMIC_RELEASE);
        tb_update_lines(&sp);
    }
    tb_unlock_pair(&sp);
    if (!isOpen) pairs[p].dir[1 - e].buf.clear();
}

// Ends without an opener are checked every few milliseconds. An open that came and went
// between two checks still leaves its lines set: they drop here. The check and the reset
// happen under the pair lock, and a program can change lines only after its open returned,
// which clears the hang-up state first, so a fresh open is never mistaken for a close.
void CDaemon::CheckClosedEnds()
{
    for (int p = 0; p < TB_MAX_PAIRS; ++p)
        for (int e = 0; e < 2; ++e) {
            PtyEnd &end = pairs[p].end[e];
            if (end.open || end.master < 0) continue;
            tb_pair &sp = Shared(p);
            tb_lock_pair(&sp);
            pollfd pf {end.master, POLLIN, 0};
            bool opened = poll(&pf, 1, 0) >= 0 && !(pf.revents & POLLHUP);
            if (!opened && !end.externalLines && (sp.end[e].out_lines || sp.end[e].break_on)) {
                sp.end[e].out_lines = 0;
                sp.end[e].break_on = 0;
                tb_update_lines(&sp);
            }
            tb_unlock_pair(&sp);
            if (opened) MarkOpen(p, e, true);
            if (!opened && (pf.revents & POLLIN)) DrainClosed(p, e);
        }
}

// PurgeComm on a sender: the bytes it wrote that have not crossed yet are gone, both those the
// daemon holds and those still waiting in the pty.
void CDaemon::CheckFlushes()
{
    for (int p = 0; p < TB_MAX_PAIRS; ++p)
        for (int e = 0; e < 2; ++e) {
            Direction &d = pairs[p].dir[e];
            uint32_t flushes = __atomic_load_n(&Shared(p).end[e].tx_flushes, __ATOMIC_ACQUIRE);
            if (flushes == d.flushesSeen) continue;
            d.flushesSeen = flushes;
            d.buf.clear();
            unsigned char tmp[kWireBuffer];
            if (pairs[p].end[e].master >= 0)
                while (read(pairs[p].end[e].master, tmp, sizeof(tmp)) > 0) {
                }
        }
}

// The periodic check may not have seen an open that happened a moment ago: ask the pty
// before bytes for that end are thrown away.
bool CDaemon::OpenedSinceLastCheck(int p, int e)
{
    PtyEnd &end = pairs[p].end[e];
    if (end.master < 0) return false;
    pollfd pf {end.master, POLLIN, 0};
    if (poll(&pf, 1, 0) < 0 || (pf.revents & POLLHUP)) return false;
    MarkOpen(p, e, true);
    return true;
}

// What a program wrote just before closing its port: on an unpaced wire it had already left
// (delivered); on a paced wire the bytes not yet transmitted die with the port, as the
// transmit queue of a UART driver does.
void CDaemon::DrainClosed(int p, int e)
{
    PtyEnd &end = pairs[p].end[e];
    Direction &d = pairs[p].dir[e];
    unsigned char tmp[kWireBuffer];
    tb_pair &sp = Shared(p);
    if (__atomic_load_n(&sp.pacing, __ATOMIC_ACQUIRE)) {
        while (read(end.master, tmp, sizeof(tmp)) > 0) {
        }
        return;
    }
    ssize_t n = read(end.master, tmp, kWireBuffer - d.buf.size());
    if (n <= 0) return;
    tb_lock_pair(&sp);
    unsigned char mask = SizeMask(sp.end[e]);
    sp.end[e].count.tx += int32_t(n);
    tb_unlock_pair(&sp);
    for (ssize_t i = 0; i < n; ++i) d.buf.push_back(tmp[i] & mask);
}

// Bytes an end wrote that have not reached the other end's port yet: still in the sender's
// pty, or held here.
size_t CDaemon::Crossing(int p, int from)
{
    int queued = 0;
    const int master = pairs[p].end[from].master;
    if (master < 0 || ioctl(master, FIONREAD, &queued) < 0) queued = 0;
    return pairs[p].dir[from].buf.size() + size_t(queued);
}

size_t CDaemon::Budget(int p, int from)
{
    Direction &d = pairs[p].dir[from];
    size_t space = kWireBuffer - d.buf.size();
    tb_pair &sp = Shared(p);
    if (!__atomic_load_n(&sp.pacing, __ATOMIC_ACQUIRE)) {
        d.credit = 0;
        d.last = Clock::now();
        return space;
    }
    tb_lock_pair(&sp);
    double cps = CharsPerSecond(sp.end[from]);
    tb_unlock_pair(&sp);
    auto now = Clock::now();
    // The last unpaced read may have taken more than the credit held (it is charged all the
    // same): pacing that starts then starts from an empty credit, not from a debt that turns
    // into a huge budget below.
    if (d.credit < 0) d.credit = 0;
    d.credit += std::chrono::duration<double>(now - d.last).count() * cps;
    d.last = now;
    if (d.credit > 1.0 + cps * 0.002) d.credit = 1.0 + cps * 0.002; // no bursts after idle time
    size_t whole = size_t(d.credit);
    return whole < space ? whole : space;
}

void CDaemon::MoveBytes(int p, int from, bool readable, bool writable)
{
    Pair &pr = pairs[p];
    Direction &d = pr.dir[from];
    tb_pair &sp = Shared(p);
    int to = 1 - from;
    if (readable && pr.end[from].open) {
        size_t budget = Budget(p, from);
        if (budget > 0) {
            unsigned char tmp[kWireBuffer];
            ssize_t n = read(pr.end[from].master, tmp, budget);
            if (n > 0) {
                d.credit -= double(n);
                tb_lock_pair(&sp);
                unsigned char mask = SizeMask(sp.end[from]);
                uint64_t w = __atomic_load_n(&sp.end[from].written, __ATOMIC_ACQUIRE);
                uint64_t t = __atomic_load_n(&sp.end[from].taken, __ATOMIC_ACQUIRE) + uint64_t(n);
                __atomic_store_n(&sp.end[from].taken, t < w ? t : w, __ATOMIC_RELEASE);
                sp.end[from].count.tx += int32_t(n);
                tb_unlock_pair(&sp);
                for (ssize_t i = 0; i < n; ++i) d.buf.push_back(tmp[i] & mask);
            }
        }
    }
    if (d.buf.empty()) return;
    if (!pr.end[to].open && !OpenedSinceLastCheck(p, to)) {
        d.buf.clear();
        return;
    }
    if (!writable) return;
    ssize_t n = write(pr.end[to].master, d.buf.data(), d.buf.size());
    if (n > 0) {
        d.buf.erase(d.buf.begin(), d.buf.begin() + n);
        tb_lock_pair(&sp);
        sp.end[to].count.rx += int32_t(n);
        tb_unlock_pair(&sp);
    }
}

void CDaemon::PollOnce()
{
    CheckFlushes();
    std::vector<pollfd> fds;
    std::vector<std::pair<int, int>> who; // (pair, end) for master entries, (-1, client index) for clients
    fds.push_back({listenFd, POLLIN, 0});
    who.push_back({-2, 0});
    bool pacingActive = false;
    for (int p = 0; p < TB_MAX_PAIRS; ++p)
        for (int e = 0; e < 2; ++e) {
            PtyEnd &end = pairs[p].end[e];
            if (!end.open || end.master < 0) continue;
            short ev = 0;
            bool paced = __atomic_load_n(&Shared(p).pacing, __ATOMIC_ACQUIRE) != 0;
            pacingActive = pacingActive || paced;
            // A stalled end's output stays in its pty until the personality is cleared.
            const bool stalled = (__atomic_load_n(&Shared(p).end[e].personality, __ATOMIC_ACQUIRE) &
                                  TB_PERS_STALLED_WRITES) != 0;
            if (!stalled && pairs[p].dir[e].buf.size() < kWireBuffer && (!paced || Budget(p, e) > 0)) ev |= POLLIN;
            if (!pairs[p].dir[1 - e].buf.empty()) ev |= POLLOUT;
            fds.push_back({end.master, ev, 0});
            who.push_back({p, e});
        }
    for (size_t i = 0; i < clients.size(); ++i) {
        fds.push_back({clients[i].fd, POLLIN, 0});
        who.push_back({-1, int(i)});
    }
    int timeout = pacingActive ? 1 : 10;
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;

    std::vector<int> dropped;
    for (size_t i = 0; i < fds.size(); ++i) {
        short rev = fds[i].revents;
        if (!rev) continue;
        if (who[i].first == -2) {
            AcceptClient();
        } else if (who[i].first == -1) {
            if (!ServeClient(clients[size_t(who[i].second)])) dropped.push_back(who[i].second);
        } else {
            int p = who[i].first, e = who[i].second;
            if (rev & POLLHUP) {
                DrainClosed(p, e);
                MarkOpen(p, e, false);
                continue;
            }
            MoveBytes(p, e, (rev & POLLIN) != 0, false);
            if (rev & POLLOUT) MoveBytes(p, 1 - e, false, true);
        }
    }
    // Deliver what arrived this round without waiting for the next poll.
    for (int p = 0; p < TB_MAX_PAIRS; ++p)
        for (int e = 0; e < 2; ++e)
            if (!pairs[p].dir[e].buf.empty()) MoveBytes(p, e, false, true);
    for (auto it = dropped.rbegin(); it != dropped.rend(); ++it) {
        Release(clients[size_t(*it)]);
        close(clients[size_t(*it)].fd);
        clients.erase(clients.begin() + *it);
    }
    auto now = Clock::now();
    if (now - lastClosedCheck > std::chrono::milliseconds(10)) {
        lastClosedCheck = now;
        CheckClosedEnds();
    }
}

void CDaemon::AcceptClient()
{
    for (;;) {
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        clients.push_back({fd, {}, -1});
        lastClientSeen = Clock::now();
    }
}

bool CDaemon::ServeClient(Client &c)
{
    char buf[1024];
    ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
    if (n <= 0) return false;
    c.in.append(buf, size_t(n));
    size_t pos;
    while ((pos = c.in.find('\n')) != std::string::npos) {
        std::string line = c.in.substr(0, pos);
        c.in.erase(0, pos + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string reply = Handle(c, line) + "\n";
        if (send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) return false;
    }
    return c.in.size() < 4096;
}

void CDaemon::Release(Client &c)
{
    if (c.pair < 0) return;
    int p = c.pair;
    c.pair = -1;
    // An end that was left unplugged comes back; anything still open on the pair is hung up
    // so that the next holder starts from a clean cable.
    for (int e = 0; e < 2; ++e)
        if (pairs[p].end[e].open || !Shared(p).end[e].plugged) HangUpEnd(p, e);
    ResetPair(p);
    tb_pair &sp = Shared(p);
    tb_lock_pair(&sp);
    sp.leased = 0;
    tb_unlock_pair(&sp);
    pairs[p].owner = -1;
}

int ParseEnd(const std::string &s)
{
    if (s == "A" || s == "a" || s == "0") return 0;
    if (s == "B" || s == "b" || s == "1") return 1;
    return -1;
}

std::string CDaemon::Handle(Client &c, const std::string &line)
{
    std::istringstream in(line);
    std::string cmd, endText;
    in >> cmd;
    if (cmd == "PING") return "OK";
    if (cmd == "LEASE") {
        if (c.pair >= 0) return "ERR already leased";
        for (int p = 0; p < TB_MAX_PAIRS; ++p) {
            tb_pair &sp = Shared(p);
            if (sp.leased || pairs[p].end[0].open || pairs[p].end[1].open) continue;
            ResetPair(p);
            tb_lock_pair(&sp);
            sp.leased = 1;
            tb_unlock_pair(&sp);
            c.pair = p;
            pairs[p].owner = c.fd;
            return "OK " + std::to_string(p) + " " + std::to_string(tb_pair_com(p, 0)) + " "
                   + std::to_string(tb_pair_com(p, 1));
        }
        return "ERR no free pair";
    }
    if (c.pair < 0) return "ERR no lease";
    int p = c.pair;
    tb_pair &sp = Shared(p);
    if (cmd == "PACING") {
        int on = 0;
        if (!(in >> on)) return "ERR usage: PACING 0|1";
        __atomic_store_n(&sp.pacing, on ? 1u : 0u, __ATOMIC_RELEASE);
        return "OK";
    }
    if (cmd == "WIRE") {
        tb_lock_pair(&sp);
        std::string r = "OK " + std::to_string(sp.end[0].count.tx) + " " + std::to_string(sp.end[1].count.tx);
        tb_unlock_pair(&sp);
        return r + " " + std::to_string(Crossing(p, 0)) + " " + std::to_string(Crossing(p, 1));
    }
    in >> endText;
    int e = ParseEnd(endText);
    if (e < 0) return "ERR bad end";
    tb_end &se = sp.end[e];
    if (cmd == "STATE") {
        tb_lock_pair(&sp);
        char text[192];
        std::snprintf(text, sizeof(text), "OK open=%d plugged=%u out=%#x in=%#x personality=%#x reads=%u",
                      pairs[p].end[e].open ? 1 : 0, se.plugged, se.out_lines, se.in_lines, se.personality,
                      __atomic_load_n(&se.reads, __ATOMIC_ACQUIRE));
        tb_unlock_pair(&sp);
        return text;
    }
    if (cmd == "PERSONALITY") {
        uint32_t bits = 0;
        std::string unknown;
        if (!ParsePersonalities(in, bits, unknown)) return "ERR unknown personality " + unknown;
        tb_lock_pair(&sp);
        se.personality = bits;
        // Errors injected before count as cleared.
        se.errors_cleared = uint32_t(se.count.frame + se.count.overrun + se.count.parity);
        tb_unlock_pair(&sp);
        return "OK";
    }
    if (cmd == "HANGUP") {
        HangUpEnd(p, e);
        return "OK";
    }
    if (cmd == "UNPLUG") {
        tb_lock_pair(&sp);
        se.plugged = 0;
        tb_unlock_pair(&sp);
        HangUpEnd(p, e);
        return "OK";
    }
    if (cmd == "REPLUG") {
        tb_lock_pair(&sp);
        se.plugged = 1;
        tb_unlock_pair(&sp);
        return "OK";
    }
    if (cmd == "BREAK") {
        tb_lock_pair(&sp);
        se.count.brk++;
        se.lsr_errors |= 0x10;
        tb_unlock_pair(&sp);
        return "OK";
    }
    if (cmd == "ERROR") {
        std::string kind;
        in >> kind;
        tb_lock_pair(&sp);
        bool known = true;
        if (kind == "frame") se.count.frame++, se.lsr_errors |= 0x08;
        else if (kind == "overrun") se.count.overrun++, se.lsr_errors |= 0x02;
        else if (kind == "parity") se.count.parity++, se.lsr_errors |= 0x04;
        else known = false;
        tb_unlock_pair(&sp);
        return known ? "OK" : "ERR kind must be frame, overrun or parity";
    }
    int value = 0;
    if (cmd == "RING" || cmd == "DCD") {
        if (!(in >> value)) return "ERR value missing";
        tb_lock_pair(&sp);
        if (cmd == "RING") se.ri = value ? 1 : 0;
        else se.dcd_force = value < 0 ? -1 : (value ? 1 : 0);
        tb_update_lines(&sp);
        tb_unlock_pair(&sp);
        return "OK";
    }
    if (cmd == "SETLINES") {
        int dtr = 0, rts = 0;
        if (!(in >> dtr >> rts)) return "ERR usage: SETLINES end dtr rts";
        tb_lock_pair(&sp);
        se.out_lines = (dtr ? TB_DTR : 0u) | (rts ? TB_RTS : 0u);
        tb_update_lines(&sp);
        tb_unlock_pair(&sp);
        pairs[p].end[e].externalLines = !pairs[p].end[e].open;
        return "OK";
    }
    if (cmd == "REFUSEBAUD") {
        unsigned rate = 0, substitute = 0;
        if (!(in >> rate >> substitute)) return "ERR usage: REFUSEBAUD end rate substitute";
        tb_lock_pair(&sp);
        bool ok = se.nrefused < TB_MAX_REFUSED;
        if (ok) se.refused[se.nrefused++] = tb_refused {rate, substitute};
        tb_unlock_pair(&sp);
        return ok ? "OK" : "ERR too many refused rates";
    }
    if (cmd == "REFUSESIZE") {
        if (!(in >> value) || value < 5 || value > 8) return "ERR size must be 5..8";
        tb_lock_pair(&sp);
        se.refused_sizes |= 1u << value;
        tb_unlock_pair(&sp);
        return "OK";
    }
    if (cmd == "ALLOW") {
        tb_lock_pair(&sp);
        se.refused_sizes = 0;
        se.nrefused = 0;
        tb_unlock_pair(&sp);
        return "OK";
    }
    return "ERR unknown command";
}

// wineserver keeps an fcntl lock on <server dir>/lock; the server dir is
// <tmp>/<.wine-UID or a wine-XXXXXX folder>/server-<device>-<inode of the prefix>.
bool CDaemon::WineserverRunning() const
{
    if (opt.prefix.empty()) return false;
    struct stat st {};
    if (stat(opt.prefix.c_str(), &st) != 0) return false;
    char leaf[96];
    std::snprintf(leaf, sizeof(leaf), "server-%llx-%llx/lock", (unsigned long long)st.st_dev,
                  (unsigned long long)st.st_ino);
    DIR *tmp = opendir("/tmp");
    if (!tmp) return false;
    bool held = false;
    while (dirent *d = readdir(tmp)) {
        if (std::strncmp(d->d_name, ".wine-", 6) != 0 && std::strncmp(d->d_name, "wine-", 5) != 0) continue;
        std::string lock = std::string("/tmp/") + d->d_name + "/" + leaf;
        int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        held = fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
        close(fd);
        if (held) break;
    }
    closedir(tmp);
    return held;
}

bool CDaemon::ShouldExit()
{
    auto now = Clock::now();
    if (!clients.empty()) {
        lastClientSeen = now;
        return false;
    }
    for (int p = 0; p < TB_MAX_PAIRS; ++p)
        if (pairs[p].end[0].open || pairs[p].end[1].open) wineserverLastSeen = now;
    if (WineserverRunning()) wineserverLastSeen = now;
    if (now - wineserverLastSeen > std::chrono::seconds(kWineserverGraceSeconds)) return true;
    return now - lastClientSeen > std::chrono::seconds(kIdleLimitSeconds);
}

int CDaemon::Run()
{
    if (!SetUp()) {
        TearDown();
        return 1;
    }
    auto lastCheck = Clock::now();
    while (!stopRequested) {
        PollOnce();
        auto now = Clock::now();
        if (now - lastCheck > std::chrono::seconds(1)) {
            lastCheck = now;
            if (ShouldExit()) break;
        }
    }
    TearDown();
    return 0;
}

bool DaemonRunning(const std::string &state)
{
    int fd = open((state + "/daemon.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool running = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return running;
}

bool WaitForPortFile(const std::string &state, int ms)
{
    for (int waited = 0; waited < ms; waited += 20) {
        struct stat st {};
        if (stat((state + "/port").c_str(), &st) == 0 && st.st_size > 0) return true;
        usleep(20000);
    }
    return false;
}

int RunDaemon(const Options &opt)
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, OnTerminate);
    std::signal(SIGINT, OnTerminate);
    std::signal(SIGHUP, SIG_IGN);
    CDaemon daemon(opt);
    return daemon.Run();
}

// Starts a detached daemon unless one runs for this state folder; returns once it listens.
int Ensure(const Options &opt, const char *self)
{
    mkdir(opt.state.c_str(), 0700);
    if (DaemonRunning(opt.state)) return WaitForPortFile(opt.state, 5000) ? 0 : 1;
    unlink((opt.state + "/port").c_str());
    pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        setsid();
        if (fork() != 0) _exit(0);
        int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        if (chdir("/") != 0) _exit(1);
        std::vector<std::string> args = {self, "--foreground", "--state", opt.state};
        if (!opt.prefix.empty()) {
            args.push_back("--prefix");
            args.push_back(opt.prefix);
        }
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        _exit(1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WaitForPortFile(opt.state, 10000) ? 0 : 1;
}

std::string Absolute(const std::string &path)
{
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof(cwd))) return path;
    return std::string(cwd) + "/" + path;
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--ensure") opt.ensure = true;
        else if (a == "--foreground") opt.foreground = true;
        else if (a == "--state" && i + 1 < argc) opt.state = Absolute(argv[++i]);
        else if (a == "--prefix" && i + 1 < argc) opt.prefix = Absolute(argv[++i]);
        else {
            std::fprintf(stderr, "usage: nullmodemd (--ensure|--foreground) --state DIR [--prefix PREFIX]\n");
            return 2;
        }
    }
    if (opt.state.empty() || opt.ensure == opt.foreground) {
        std::fprintf(stderr, "usage: nullmodemd (--ensure|--foreground) --state DIR [--prefix PREFIX]\n");
        return 2;
    }
    return opt.ensure ? Ensure(opt, argv[0]) : RunDaemon(opt);
}
