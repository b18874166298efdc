// nullmodem: command-line access to the virtual null-modem test bed, for scripts and demos.
//
//   nullmodem (--prefix PREFIX | --state DIR) [--echo A|B] [--pacing] [--seconds N]
//
// Leases a pair from the prefix's daemon (starting the daemon when needed), prints one line
// "COMa COMb" and keeps the lease until stdin ends (or N seconds pass). Meanwhile:
//  - with --echo E, it holds end E open itself and sends every byte it receives straight back,
//    with DTR and RTS raised, so a program on the other end sees a live device;
//  - every line read on stdin is a daemon command for the leased pair, answered on stdout:
//      RING end 0|1, DCD end -1|0|1, BREAK end, ERROR end frame|overrun|parity,
//      SETLINES end dtr rts, REFUSEBAUD end rate substitute, REFUSESIZE end size, ALLOW end,
//      UNPLUG end, REPLUG end, HANGUP end, PACING 0|1, WIRE, STATE end
//    (end is A or B). UNPLUG here makes opens fail but leaves QueryDosDevice listing the
//    port: only a Windows process can remove the DOS device name (the client library does).
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool ReadSmallFile(const std::string &path, std::string &out)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f) return false;
    char buf[64] = {};
    size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
    std::fclose(f);
    out.assign(buf, n);
    return n > 0;
}

// Starts the daemon through the nullmodemd that sits next to this program.
bool EnsureDaemon(const std::string &state, const std::string &prefix)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return false;
    self[n] = 0;
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    std::string daemon = dir + "/nullmodemd";
    pid_t child = fork();
    if (child == 0) {
        if (prefix.empty())
            execl(daemon.c_str(), daemon.c_str(), "--ensure", "--state", state.c_str(), (char *)nullptr);
        else
            execl(daemon.c_str(), daemon.c_str(), "--ensure", "--state", state.c_str(), "--prefix", prefix.c_str(),
                  (char *)nullptr);
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int Connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// Sends one command and returns the one-line answer.
std::string Ask(int fd, const std::string &command)
{
    std::string line = command + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) < 0) return "ERR connection lost";
    std::string reply;
    char c;
    while (recv(fd, &c, 1, 0) == 1) {
        if (c == '\n') return reply;
        reply.push_back(c);
    }
    return "ERR connection lost";
}

int OpenEnd(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios t {};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CREAD | CLOCAL;
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

void Usage()
{
    std::fprintf(stderr, "usage: nullmodem (--prefix PREFIX | --state DIR) [--echo A|B] [--pacing] [--seconds N]\n");
}

} // namespace

int main(int argc, char **argv)
{
    std::string state, prefix, echoEnd;
    bool pacing = false;
    int seconds = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--prefix" && i + 1 < argc) prefix = argv[++i];
        else if (a == "--state" && i + 1 < argc) state = argv[++i];
        else if (a == "--echo" && i + 1 < argc) echoEnd = argv[++i];
        else if (a == "--pacing") pacing = true;
        else if (a == "--seconds" && i + 1 < argc) seconds = std::atoi(argv[++i]);
        else {
            Usage();
            return 2;
        }
    }
    if (state.empty() && !prefix.empty()) state = prefix + ".testbed";
    if (state.empty() || (!echoEnd.empty() && echoEnd != "A" && echoEnd != "B")) {
        Usage();
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::string portText;
    if (!ReadSmallFile(state + "/port", portText) && !(EnsureDaemon(state, prefix) && ReadSmallFile(state + "/port", portText))) {
        std::fprintf(stderr, "nullmodem: no test-bed daemon for %s\n", state.c_str());
        return 1;
    }
    int sock = Connect(std::atoi(portText.c_str()));
    if (sock < 0) {
        std::fprintf(stderr, "nullmodem: cannot reach the daemon\n");
        return 1;
    }
    std::string lease = Ask(sock, "LEASE");
    int pairIndex = 0, comA = 0, comB = 0;
    if (std::sscanf(lease.c_str(), "OK %d %d %d", &pairIndex, &comA, &comB) != 3) {
        std::fprintf(stderr, "nullmodem: %s\n", lease.c_str());
        return 1;
    }
    std::printf("COM%d COM%d\n", comA, comB);
    std::fflush(stdout);
    if (pacing) Ask(sock, "PACING 1");

    int echoFd = -1;
    if (!echoEnd.empty()) {
        int com = echoEnd == "A" ? comA : comB;
        echoFd = OpenEnd(state + "/com" + std::to_string(com));
        if (echoFd < 0) {
            std::fprintf(stderr, "nullmodem: cannot open end %s\n", echoEnd.c_str());
            return 1;
        }
        Ask(sock, "SETLINES " + echoEnd + " 1 1");
    }

    auto start = std::chrono::steady_clock::now();
    std::string input;
    bool stdinOpen = true;
    for (;;) {
        if (seconds >= 0 && std::chrono::steady_clock::now() - start > std::chrono::seconds(seconds)) break;
        pollfd fds[2] = {{stdinOpen ? 0 : -1, POLLIN, 0}, {echoFd, POLLIN, 0}};
        if (poll(fds, 2, 100) < 0 && errno != EINTR) break;
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char buf[512];
            ssize_t n = read(0, buf, sizeof(buf));
            if (n <= 0) {
                stdinOpen = false;
                if (seconds < 0) break;
            } else {
                input.append(buf, size_t(n));
            }
            size_t pos;
            while ((pos = input.find('\n')) != std::string::npos) {
                std::string cmd = input.substr(0, pos);
                input.erase(0, pos + 1);
                if (cmd.empty()) continue;
                std::printf("%s\n", Ask(sock, cmd).c_str());
                std::fflush(stdout);
            }
        }
        if (echoFd >= 0 && (fds[1].revents & POLLIN)) {
            char buf[4096];
            ssize_t n = read(echoFd, buf, sizeof(buf));
            for (ssize_t off = 0; n > 0 && off < n;) {
                ssize_t w = write(echoFd, buf + off, size_t(n - off));
                if (w > 0) off += w;
                else if (errno != EAGAIN) break;
                else usleep(1000);
            }
        }
    }
    if (echoFd >= 0) close(echoFd);
    close(sock);
    return 0;
}
