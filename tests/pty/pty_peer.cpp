// tarvel_pty_peer: the Linux program at the far end of a pty pair whose other end Wine maps
// as a COM port. It behaves as a small device driven by text commands, one per line:
//
//   ECHO n          the next n bytes come back as they arrive
//   SEND n seed     n bytes of the pattern below go out as fast as the pty takes them
//   LINES k ms      k lines "line NNN\r\n", ms milliseconds apart
//   HANGUP          the program closes its end and exits; a pty stays up when one end
//                   closes, so pty_suite.sh then ends the socat bridge (both ends hang up)
//
// Pattern (the checks compute the same): x := x * 69069 + 1 (mod 2^32), starting from seed;
// each byte is 33 + ((x >> 16) mod 94), printable ASCII, so that it crosses any code page.
//
//   tarvel_pty_peer PATH      exit code 0 after HANGUP or when the other side hung up
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <vector>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// One byte, or -1 when the other side is gone.
int ReadByte(int fd)
{
    unsigned char c;
    for (;;) {
        ssize_t n = read(fd, &c, 1);
        if (n == 1) return c;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
}

// Reads and writes at the same time: a peer that blocked on a write while its input filled
// up would stop socat, which forwards both directions in one thread, and the whole cable.
bool EchoNonBlocking(int fd, unsigned long count);

bool Echo(int fd, unsigned long count)
{
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const bool ok = EchoNonBlocking(fd, count);
    fcntl(fd, F_SETFL, flags);
    return ok;
}

bool EchoNonBlocking(int fd, unsigned long count)
{
    std::vector<char> pending;
    size_t head = 0;
    char buf[4096];
    while (count > 0 || head < pending.size()) {
        pollfd pf{fd, short((count > 0 ? POLLIN : 0) | (head < pending.size() ? POLLOUT : 0)), 0};
        if (poll(&pf, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (pf.revents & (POLLERR | POLLNVAL)) return false;
        if (pf.revents & POLLIN) {
            ssize_t n = read(fd, buf, count < sizeof buf ? count : sizeof buf);
            if (n <= 0 && errno != EAGAIN && errno != EINTR) return false;
            if (n > 0) {
                pending.insert(pending.end(), buf, buf + n);
                count -= static_cast<unsigned long>(n);
            }
        } else if ((pf.revents & POLLHUP) && !(pf.revents & POLLOUT)) {
            return false;
        }
        if (head < pending.size() && (pf.revents & POLLOUT)) {
            ssize_t n = write(fd, pending.data() + head, pending.size() - head);
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (n > 0) head += size_t(n);
        }
    }
    return true;
}

bool Send(int fd, unsigned long count, uint32_t x)
{
    char buf[4096];
    while (count > 0) {
        size_t n = count < sizeof buf ? count : sizeof buf;
        for (size_t i = 0; i < n; ++i) {
            x = x * 69069u + 1u;
            buf[i] = char(33 + ((x >> 16) % 94));
        }
        if (!WriteAll(fd, buf, n)) return false;
        count -= n;
    }
    return true;
}

bool Lines(int fd, int count, long ms)
{
    for (int i = 0; i < count; ++i) {
        char line[32];
        int n = std::snprintf(line, sizeof line, "line %03d\r\n", i);
        if (!WriteAll(fd, line, size_t(n))) return false;
        timespec ts{ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvel_pty_peer PATH\n");
        return 2;
    }
    int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::fprintf(stderr, "tarvel_pty_peer: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    std::string line;
    for (;;) {
        int c = ReadByte(fd);
        if (c < 0) return 0; // the other side hung up
        if (c == '\r') continue;
        if (c != '\n') {
            if (line.size() < 256) line.push_back(char(c));
            continue;
        }
        unsigned long n = 0, seed = 0;
        int k = 0;
        long ms = 0;
        bool ok = true;
        if (std::sscanf(line.c_str(), "ECHO %lu", &n) == 1) ok = Echo(fd, n);
        else if (std::sscanf(line.c_str(), "SEND %lu %lu", &n, &seed) == 2) ok = Send(fd, n, uint32_t(seed));
        else if (std::sscanf(line.c_str(), "LINES %d %ld", &k, &ms) == 2) ok = Lines(fd, k, ms);
        else if (line == "HANGUP") {
            close(fd);
            return 0;
        } else if (!line.empty()) std::fprintf(stderr, "tarvel_pty_peer: unknown command \"%s\"\n", line.c_str());
        line.clear();
        if (!ok) return 0;
    }
}
