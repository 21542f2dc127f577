// Speed of the acceptor gateway: gatelisten runs as a real process with a private site table,
// private queues and a temporary FIXHOME, and this program plays the counterparty on 127.0.0.1
// and the application on the queues. It measures
//   LogonLogoutCycle: connect, Logon, its reply, Logout, its answer and the close: what one
//                     session costs the acceptor (thread, logs, configuration, dispatcher, pipe,
//                     release), one cycle per iteration;
//   OrderToWire:      a NewOrderSingle text put on the input queue under the site's type until it
//                     is read whole from the socket (dispatcher, pipe, stamping, logging, send);
//   ExecutionToQueue: an ExecutionReport written to the socket until it is taken off the output
//                     queue (framing, logging, validation, delivery under the lock).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "Key.h"
#include "MsgQueue.h"
#include "Shm.h"

namespace {

namespace fs = std::filesystem;

const std::string site = "BENCH";

std::string checksum(const std::string& bytes) {
    unsigned sum = 0;
    for (unsigned char c : bytes) sum += c;
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03u", sum % 256);
    return buf;
}

// A whole message from the counterparty, given its MsgType and SOH-ended body fields.
std::string message(const std::string& type, int seq, const std::string& body) {
    std::string b = "35=" + type + "\x01" + "49=" + site + "\x01" + "56=GATE\x01" +
                    "34=" + std::to_string(seq) + "\x01" + "52=20260101-00:00:00\x01" + body;
    std::string msg = "8=FIX.4.2\x01" + std::string("9=") + std::to_string(b.size()) + "\x01" + b;
    return msg + "10=" + checksum(msg) + "\x01";
}

const std::string orderText =
    "35=D\x01"
    "11=ORD0000001\x01"
    "21=1\x01"
    "55=IBM\x01"
    "54=1\x01"
    "38=100\x01"
    "40=2\x01"
    "44=101.25\x01"
    "59=0\x01";

const std::string execBody =
    "37=O1\x01"
    "11=ORD0000001\x01"
    "17=E1\x01"
    "150=0\x01"
    "39=0\x01"
    "55=IBM\x01"
    "54=1\x01"
    "38=100\x01"
    "14=0\x01"
    "6=0\x01"
    "151=100\x01";

// The counterparty's connection: blocking reads, framing by BodyLength.
class Connection {
  public:
    explicit Connection(int port) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            throw std::runtime_error("cannot connect to gatelisten");
        }
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Connection() { ::close(fd); }

    void send(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("send to gatelisten failed");
            done += static_cast<size_t>(n);
        }
    }
    // The next whole message.
    std::string read() {
        for (;;) {
            size_t lenAt = inbox.find(
                "\x01"
                "9=");
            size_t lenEnd = lenAt == std::string::npos ? lenAt : inbox.find('\x01', lenAt + 3);
            if (lenEnd != std::string::npos) {
                size_t total =
                    lenEnd + 1 + std::strtoul(inbox.c_str() + lenAt + 3, nullptr, 10) + 7;
                if (inbox.size() >= total) {
                    std::string msg = inbox.substr(0, total);
                    inbox.erase(0, total);
                    return msg;
                }
            }
            if (!fill()) throw std::runtime_error("gatelisten closed the connection");
        }
    }
    // Reads until gatelisten closes the connection.
    void waitClosed() {
        while (fill()) {
        }
    }

  private:
    bool fill() {
        char buf[65536];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        inbox.append(buf, static_cast<size_t>(n));
        return true;
    }
    int fd;
    std::string inbox;
};

// gatelisten with its table, queues and home, for the whole run.
class Gateway {
  public:
    Gateway() {
        int tag = static_cast<int>(getpid() & 0xFFFFF) * 16;
        table = std::to_string(tag + 1);
        qin = std::to_string(tag + 2);
        qout = std::to_string(tag + 3);
        Shm shm(table);
        shm.clear();
        shm.registerName(site);
        input = MsgQueue(qin, 0, IPC_CREAT);
        output = MsgQueue(qout, 0, IPC_CREAT);
        home = fs::temp_directory_path() / ("acceptor_bench." + std::to_string(getpid()));
        fs::create_directories(home / "cfg");
        fs::create_directories(home / "logs");
        std::ofstream(home / "cfg" / (site + ".fix"))
            << "~ {8=FIX.4.2,9=,35=,49=GATE,56=" << site << ",34=,52=}\n"
            << "A {98=0,108=30}\n0 {}\n1 {112=}\n2 {7=,16=}\n4 {123=Y,36=}\n5 {}\n";
        start();
    }
    ~Gateway() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        for (const std::string& name : {qin, qout}) {
            int id = msgget(Key(name).get_ipc_key(), 0);
            if (id >= 0) msgctl(id, IPC_RMID, nullptr);
        }
        int id = shmget(Key(table).get_ipc_key(), 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
        id = semget(Key(table).get_ipc_key(), 0, 0);  // the table's site locks
        if (id >= 0) semctl(id, 0, IPC_RMID);
        std::error_code ignored;
        fs::remove_all(home, ignored);
    }

    int port = 0;
    int nextSeq = 1;
    MsgQueue input, output;

  private:
    void start() {
        int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
        ::close(probe);
        port = ntohs(addr.sin_port);

        std::string program = fs::read_symlink("/proc/self/exe").parent_path() / "gatelisten";
        std::string portText = std::to_string(port);
        pid = fork();
        if (pid == 0) {
            if (::chdir(home.c_str()) != 0) _exit(127);
            ::setenv("FIXHOME", home.c_str(), 1);
            if (!std::freopen("/dev/null", "w", stdout)) _exit(127);
            execl(program.c_str(), "gatelisten", table.c_str(), "-p", portText.c_str(), "-i",
                  qin.c_str(), "-o", qout.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Ready once a connection is taken.
        for (int i = 0; i < 500; ++i) {
            try {
                Connection probeConnection(port);
                return;
            } catch (const std::runtime_error&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        throw std::runtime_error("gatelisten did not start");
    }

    std::string table, qin, qout;
    fs::path home;
    pid_t pid = -1;
};

Gateway& gateway() {
    static Gateway g;
    return g;
}

void LogonLogoutCycle(benchmark::State& state) {
    Gateway& g = gateway();
    for (auto _ : state) {
        Connection c(g.port);
        c.send(message("A", g.nextSeq++,
                       "98=0\x01"
                       "108=30\x01"));
        c.read();
        c.send(message("5", g.nextSeq++, ""));
        c.read();
        c.waitClosed();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(LogonLogoutCycle)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A logged-on session for the two message benchmarks.
struct LoggedOn {
    explicit LoggedOn(Gateway& g) : connection(g.port) {
        connection.send(message("A", g.nextSeq++,
                                "98=0\x01"
                                "108=30\x01"));
        connection.read();
    }
    Connection connection;
};

void OrderToWire(benchmark::State& state) {
    Gateway& g = gateway();
    LoggedOn s(g);
    for (auto _ : state) {
        g.input.write(orderText, WaitMode, 1);
        benchmark::DoNotOptimize(s.connection.read());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(OrderToWire)->Unit(benchmark::kMicrosecond)->UseRealTime();

void ExecutionToQueue(benchmark::State& state) {
    Gateway& g = gateway();
    LoggedOn s(g);
    for (auto _ : state) {
        s.connection.send(message("8", g.nextSeq++, execBody));
        benchmark::DoNotOptimize(g.output.read(0, WaitMode));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ExecutionToQueue)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
