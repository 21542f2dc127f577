// End-to-end speed of the initiator gateway: gateconnect runs as a real process against a
// counterparty in this program on 127.0.0.1, with a private site table, private queues and a
// temporary FIXHOME. It measures
//   outbound: a NewOrderSingle text put on the input queue until its last byte is read from the
//             socket (dispatcher, pipe, stamping, logging, send);
//   inbound:  an ExecutionReport written to the socket until it is taken off the output queue
//             (framing, logging, validation, queue delivery);
// each as messages per second over a burst and as p50 / p99 latency of single messages sent one
// at a time. Usage: gateway_bench [burst] [singles]   (defaults 100000 and 20000).
#include <arpa/inet.h>
#include <fcntl.h>
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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Key.h"
#include "MsgQueue.h"
#include "Shm.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string site = "BENCH";

std::string checksum(const std::string& bytes) {
    unsigned sum = 0;
    for (unsigned char c : bytes) sum += c;
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03u", sum % 256);
    return buf;
}

// A whole message from SOH-separated body fields.
std::string frame(const std::string& body) {
    std::string msg =
        "8=FIX.4.2\x01"
        "9=" +
        std::to_string(body.size()) + "\x01" + body;
    return msg + "10=" + checksum(msg) + "\x01";
}

std::string execReport(int seq) {
    return frame(
        "35=8\x01"
        "49=BROKER\x01"
        "56=" +
        site +
        "\x01"
        "34=" +
        std::to_string(seq) +
        "\x01"
        "52=20260101-00:00:00\x01"
        "37=O" +
        std::to_string(seq) +
        "\x01"
        "11=C1\x01"
        "17=E1\x01"
        "150=0\x01"
        "39=0\x01"
        "55=IBM\x01"
        "54=1\x01"
        "38=100\x01"
        "14=0\x01"
        "6=0\x01"
        "151=100\x01");
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

// The counterparty's end of the connection: blocking reads, framing by BodyLength.
class Counterparty {
  public:
    int listen() {
        lfd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(lfd, 1) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        socklen_t len = sizeof addr;
        ::getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len);
        return ntohs(addr.sin_port);
    }
    void accept() {
        fd = ::accept(lfd, nullptr, nullptr);
        if (fd < 0) throw std::runtime_error("no connection from gateconnect");
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Counterparty() {
        if (fd >= 0) ::close(fd);
        if (lfd >= 0) ::close(lfd);
    }
    void send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("send to gateconnect failed");
            done += static_cast<size_t>(n);
        }
    }
    // Blocks until n whole messages have been read; returns the last one.
    std::string readMessages(long n) {
        std::string last;
        for (long got = 0; got < n;) {
            size_t total = frameLength();
            if (total == 0) {
                fill();
                continue;
            }
            if (got == n - 1) last = inbox.substr(pos, total);
            pos += total;
            ++got;
        }
        return last;
    }

  private:
    size_t frameLength() {
        size_t lenTag = inbox.find(
            "\x01"
            "9=",
            pos);
        if (lenTag == std::string::npos) return 0;
        size_t lenEnd = inbox.find('\x01', lenTag + 3);
        if (lenEnd == std::string::npos) return 0;
        size_t total = lenEnd + 1 + std::strtoul(inbox.c_str() + lenTag + 3, nullptr, 10) + 7 - pos;
        return inbox.size() - pos >= total ? total : 0;
    }
    void fill() {
        inbox.erase(0, pos);
        pos = 0;
        char buf[65536];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) throw std::runtime_error("gateconnect closed the connection");
        inbox.append(buf, static_cast<size_t>(n));
    }

    int lfd = -1;
    int fd = -1;
    std::string inbox;
    size_t pos = 0;
};

// Table, queues and FIXHOME of one run, removed at the end whatever happens.
struct Installation {
    std::string table, qin, qout;
    fs::path home;
    Installation() {
        unsigned base = (static_cast<unsigned>(getpid()) & 0x3FFFFF) << 8;
        table = std::to_string(base | 0xB1);
        qin = std::to_string(base | 0xB2);
        qout = std::to_string(base | 0xB3);
        char dir[] = "/tmp/gateway_bench.XXXXXX";
        if (::mkdtemp(dir) == nullptr) throw std::runtime_error("no temporary folder");
        home = dir;
        fs::create_directories(home / "cfg");
        fs::create_directories(home / "logs");
        std::ofstream(home / "cfg" / (site + ".fix"))
            << "~ {8=FIX.4.2,9=,35=,49=" << site << ",56=BROKER,34=,52=}\n"
            << "A {98=0,108=30}\n0 {}\n1 {112=}\n2 {7=,16=}\n4 {123=Y,36=}\n5 {58=}\n";
    }
    ~Installation() {
        int id = shmget(Key(table).get_ipc_key(), 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
        id = semget(Key(table).get_ipc_key(), 0, 0);  // the table's site locks
        if (id >= 0) semctl(id, 0, IPC_RMID);
        for (const std::string& q : {qin, qout}) {
            id = msgget(Key(q).get_ipc_key(), 0);
            if (id >= 0) msgctl(id, IPC_RMID, nullptr);
        }
        std::error_code ignored;
        fs::remove_all(home, ignored);
    }
};

std::string binDir() {
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

pid_t startGateway(const Installation& inst, int port) {
    std::string program = binDir() + "/gateconnect";
    std::string portText = std::to_string(port);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(inst.home.c_str()) != 0) _exit(127);
        setenv("FIXHOME", inst.home.c_str(), 1);
        int devnull = ::open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execl(program.c_str(), "gateconnect", inst.table.c_str(), site.c_str(), "127.0.0.1",
              portText.c_str(), "-i", inst.qin.c_str(), "-o", inst.qout.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void report(const char* what, long count, Clock::duration burst, std::vector<double>& single) {
    std::sort(single.begin(), single.end());
    double rate = count / std::chrono::duration<double>(burst).count();
    double p50 = single[single.size() / 2];
    double p99 = single[std::min(single.size() - 1, single.size() * 99 / 100)];
    std::printf("%-9s %8ld msgs  %10.0f msgs/s   %6zu singles  p50 %7.1f us  p99 %7.1f us\n", what,
                count, rate, single.size(), p50, p99);
}

}  // namespace

int main(int argc, char** argv) {
    long burst = argc > 1 ? std::atol(argv[1]) : 100000;
    long singles = argc > 2 ? std::atol(argv[2]) : 20000;
    signal(SIGPIPE, SIG_IGN);
    pid_t gw = -1;
    try {
        Installation inst;
        Shm shm(inst.table);
        MemoryCell* cell = shm.registerName(site);
        MsgQueue input(inst.qin, 0, IPC_CREAT);
        MsgQueue output(inst.qout, 0, IPC_CREAT);
        Counterparty peer;
        int port = peer.listen();
        gw = startGateway(inst, port);
        peer.accept();
        peer.readMessages(1);  // the Logon
        int seq = 1;
        peer.send(
            frame("35=A\x01"
                  "49=BROKER\x01"
                  "56=" +
                  site +
                  "\x01"
                  "34=1\x01"
                  "52=20260101-00:00:00\x01"
                  "98=0\x01"
                  "108=30\x01"));
        while (cell->status != 'O') std::this_thread::sleep_for(std::chrono::milliseconds(1));

        // Outbound burst: a producer fills the input queue while this thread reads the socket.
        auto begin = Clock::now();
        std::thread producer([&] {
            MsgQueue writer(inst.qin, 0, 0);
            for (long i = 0; i < burst; ++i) writer.write(orderText, WaitMode, 1);
        });
        peer.readMessages(burst);
        auto outBurst = Clock::now() - begin;
        producer.join();

        std::vector<double> outSingle;
        outSingle.reserve(static_cast<size_t>(singles));
        for (long i = 0; i < singles; ++i) {
            auto t0 = Clock::now();
            input.write(orderText, WaitMode, 1);
            peer.readMessages(1);
            outSingle.push_back(micros(Clock::now() - t0));
        }

        // Inbound burst: messages are framed beforehand; a consumer empties the output queue.
        std::vector<std::string> reports;
        reports.reserve(static_cast<size_t>(burst));
        for (long i = 0; i < burst; ++i) reports.push_back(execReport(++seq));
        begin = Clock::now();
        std::thread consumer([&] {
            MsgQueue reader(inst.qout, 0, 0);
            for (long i = 0; i < burst;) {
                if (!reader.read(0, WaitMode).empty()) ++i;
            }
        });
        std::string batch;
        for (long i = 0; i < burst; ++i) {
            batch += reports[static_cast<size_t>(i)];
            if (batch.size() > 60000 || i == burst - 1) {
                peer.send(batch);
                batch.clear();
            }
        }
        consumer.join();
        auto inBurst = Clock::now() - begin;

        std::vector<double> inSingle;
        inSingle.reserve(static_cast<size_t>(singles));
        for (long i = 0; i < singles; ++i) {
            std::string m = execReport(++seq);
            auto t0 = Clock::now();
            peer.send(m);
            while (output.read(0, WaitMode).empty()) {
            }
            inSingle.push_back(micros(Clock::now() - t0));
        }

        report("outbound", burst, outBurst, outSingle);
        report("inbound", burst, inBurst, inSingle);

        peer.send(
            frame("35=5\x01"
                  "49=BROKER\x01"
                  "56=" +
                  site +
                  "\x01"
                  "34=" +
                  std::to_string(++seq) +
                  "\x01"
                  "52=20260101-00:00:00\x01"));
        bool reaped = false;
        for (int i = 0; i < 500 && !reaped; ++i) {
            reaped = waitpid(gw, nullptr, WNOHANG) == gw;
            if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!reaped) {
            kill(gw, SIGKILL);
            waitpid(gw, nullptr, 0);
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "gateway_bench: " << e.what() << std::endl;
        if (gw > 0) {
            kill(gw, SIGKILL);
            waitpid(gw, nullptr, 0);
        }
        return 1;
    }
}
