// roundtrip [--rounds N] [--pingpong N] [--window N] [--paced-seconds S]
//           [--jetstream|--no-jetstream] [--standby]
//
// The order round trip through both our gateways, side by side with QuickFIX on this machine.
// Ours: an order side (rt_orders) puts a NewOrderSingle on gateconnect's input queue, gateconnect
// and gatelisten carry it over 127.0.0.1, a fill side (rt_fills) answers it from gatelisten's
// output queue with one ExecutionReport, which comes back to gateconnect's output queue. QuickFIX:
// qf_initiator and qf_acceptor do the same exchange with FileStore and FileLog. Rounds alternate
// ours and QuickFIX; each round starts fresh programs, site table, queues and folders, and each
// phase reads every process's CPU time (/proc/<pid>/stat) before and after. Phases: ping-pong
// (one order at a time), window (at most 500 in flight), and for ours only paced runs of one
// site at 100, 400 and 1,000 orders a second and four sites (four gateconnect) at 500 each.
// With nats-server installed (or --jetstream), each round also runs ours with both sites'
// applications on JetStream, once on one server (streams of 1 replica) and once on a cluster of
// three (3 replicas): the servers are started here on free loopback ports, in the round's folder,
// ping-pong and window only, and the servers' CPU time is reported apart from the gateways'.
// With --standby, the rounds are ours on a cluster of three only, once as above and once with a
// standby gateway for each site on a host of its own (its own folder and site table), and after
// the phases of the standby round the active gateconnect is killed -9: the takeover time is from
// the kill to the counterparty's acceptance of the next order (on BUY1's IN stream).
// At the end: medians over rounds and the ours/QuickFIX ratios. Any missing, duplicated or
// mismatched report, or a program that fails, ends the run with status 1; Ctrl-C with 130.
// Every process started is ended by its pid; every table, queue and semaphore set is removed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <nats/nats.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Key.h"
#include "MemoryCell.h"
#include "NatsLink.h"
#include "Shm.h"
#include "StreamNames.h"
#include "StreamOutlet.h"
#include "StreamSetup.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int) {
    interrupted = 1;
}

void checkInterrupt() {
    if (interrupted) throw std::runtime_error("interrupted");
}

struct Settings {
    int rounds = 3;
    long pingpong = 20000;
    long window = 100000;
    double pacedSeconds = 5;
    bool jetstream = false;
    bool standby = false;
};
constexpr const char* natsServer = "/usr/sbin/nats-server";
constexpr long inflight = 500;
// The lease's lifetime in the standby rounds, as suggested for a site.
constexpr int leaseSeconds = 6;

std::string binDir() {
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// A free TCP port on 127.0.0.1 at the time of asking.
int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

// A program started by this run: its standard input is a pipe (closed to tell an order side to
// finish), its standard output either a pipe (order sides answer there) or a file, its standard
// error a file.
struct Child {
    std::string name;
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    fs::path log;
    std::string pending;

    // The next line on the output pipe, waiting at most seconds.
    std::string readLine(double seconds) {
        auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            size_t eol = pending.find('\n');
            if (eol != std::string::npos) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                return line;
            }
            checkInterrupt();
            if (Clock::now() > deadline) throw std::runtime_error(name + " did not answer in time");
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[4096];
            ssize_t n = ::read(out, buf, sizeof buf);
            if (n <= 0) throw std::runtime_error(name + " ended: " + errors());
            pending.append(buf, static_cast<size_t>(n));
        }
    }
    void writeLine(const std::string& line) {
        std::string text = line + "\n";
        if (::write(in, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("cannot instruct " + name);
    }
    // False once it has ended (and is reaped, so its pid is never signalled again).
    bool running() {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) != 0) pid = -1;
        return pid > 0;
    }
    std::string errors() const {
        std::ifstream file(log);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
    }
    // Closes its input, asks it to end with SIGTERM, then kills it after a while.
    void stop() {
        if (in >= 0) ::close(in);
        if (out >= 0) ::close(out);
        in = out = -1;
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 50; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) != 0) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    // User and system CPU seconds of the process, all its threads.
    double cpuSeconds() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string skip;
        for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
        double utime = 0, stime = 0;
        fields >> utime >> stime;
        return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
};

// What one implementation's round set up, undone in reverse order whatever happens.
class Round {
  public:
    Round() {
        char dir[] = "/tmp/roundtrip.XXXXXX";
        if (::mkdtemp(dir) == nullptr) throw std::runtime_error("no temporary folder");
        home = dir;
    }
    ~Round() {
        for (auto c = children.rbegin(); c != children.rend(); ++c) c->stop();
        for (const std::string& name : ipcNames) removeIpc(name);
        std::error_code ignored;
        fs::remove_all(home, ignored);
    }
    Round(const Round&) = delete;
    Round& operator=(const Round&) = delete;

    // Starts program from the bin folder in cwd with FIXHOME=cwd; output to a pipe or a file.
    Child& start(const std::string& name, const std::vector<std::string>& args, const fs::path& cwd,
                 bool pipeOutput) {
        Child c;
        c.name = name;
        c.log = home / (name + ".out");
        int input[2], output[2] = {-1, -1};
        if (::pipe2(input, O_CLOEXEC) != 0 || (pipeOutput && ::pipe2(output, O_CLOEXEC) != 0))
            throw std::runtime_error("no pipe");
        std::string program = args[0][0] == '/' ? args[0] : binDir() + "/" + args[0];
        c.pid = fork();
        if (c.pid == 0) {
            int log = ::open(c.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(input[0], 0);
            dup2(pipeOutput ? output[1] : log, 1);
            dup2(log, 2);
            if (chdir(cwd.c_str()) != 0) _exit(127);
            setenv("FIXHOME", cwd.c_str(), 1);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        ::close(input[0]);
        c.in = input[1];
        if (pipeOutput) {
            ::close(output[1]);
            c.out = output[0];
        }
        if (c.pid < 0) throw std::runtime_error("cannot start " + name);
        children.push_back(c);
        return children.back();
    }
    // Runs a tool to its end (at most 10 s); throws when it fails.
    void tool(const std::vector<std::string>& args) {
        Child& c = start(args[0], args, home, false);
        for (int i = 0; i < 100; ++i) {
            int status = 0;
            if (waitpid(c.pid, &status, WNOHANG) == c.pid) {
                c.pid = -1;
                if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
                throw std::runtime_error(args[0] + " failed: " + c.errors());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        throw std::runtime_error(args[0] + " did not finish");
    }
    // A private all-digit IPC name (its decimal key), cleared now and removed at the end.
    std::string ipcName(int k) {
        std::string name = std::to_string(((static_cast<unsigned>(getpid()) & 0x3FFFFF) << 8) |
                                          static_cast<unsigned>(k));
        removeIpc(name);
        ipcNames.push_back(name);
        return name;
    }

    fs::path home;
    std::deque<Child> children;  // a deque: references to earlier children stay valid

  private:
    static void removeIpc(const std::string& name) {
        key_t key = Key(name).get_ipc_key();
        int id = shmget(key, 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
        id = semget(key, 0, 0);  // a table's site locks
        if (id >= 0) semctl(id, 0, IPC_RMID);
        id = msgget(key, 0);
        if (id >= 0) msgctl(id, IPC_RMID, nullptr);
    }

    std::vector<std::string> ipcNames;
};

// Each figure of each round, by name, for one implementation.
using Figures = std::map<std::string, std::vector<double>>;

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

std::vector<double> readLatencies(const fs::path& file) {
    std::ifstream in(file);
    std::vector<double> v;
    for (double us; in >> us;) v.push_back(us);
    return v;
}

struct PhaseResult {
    long orders = 0;
    double seconds = 0;
    std::vector<double> cpu;  // per process, in the order given
};

// Sends each order side its command, waits for every answer and reads the CPU time of the
// processes around it. A "fail" answer ends the run.
PhaseResult runPhase(const std::vector<Child*>& sides, const std::vector<std::string>& commands,
                     const std::vector<Child*>& processes, double timeout) {
    PhaseResult r;
    for (Child* p : processes) r.cpu.push_back(-p->cpuSeconds());
    for (size_t i = 0; i < sides.size(); ++i) sides[i]->writeLine(commands[i]);
    for (Child* side : sides) {
        std::istringstream answer(side->readLine(timeout));
        std::string word;
        long orders = 0;
        double seconds = 0;
        answer >> word >> orders >> seconds;
        if (word != "ok") throw std::runtime_error(side->name + ": " + answer.str());
        r.orders += orders;
        r.seconds = std::max(r.seconds, seconds);
    }
    for (size_t i = 0; i < processes.size(); ++i) r.cpu[i] += processes[i]->cpuSeconds();
    return r;
}

std::string cpuText(const std::vector<Child*>& processes, const PhaseResult& r) {
    std::ostringstream text;
    text << "CPU s:";
    for (size_t i = 0; i < processes.size(); ++i) {
        char buf[64];
        std::snprintf(buf, sizeof buf, " %s %.2f", processes[i]->name.c_str(), r.cpu[i]);
        text << buf;
    }
    return text.str();
}

double sum(const std::vector<double>& v, size_t from, size_t to) {
    double s = 0;
    for (size_t i = from; i < to && i < v.size(); ++i) s += v[i];
    return s;
}

// Ping-pong and window on one order side; processes[0, engines) are the gateways or engines,
// the last `servers` the NATS servers, the rest our applications. Records the figures under the
// names the report prints.
void commonPhases(const char* who, int round, const Settings& s, Child& side,
                  const std::vector<Child*>& processes, size_t engines, const fs::path& home,
                  Figures& f, size_t servers = 0) {
    size_t apps = processes.size() - servers;
    fs::path file = home / "pingpong.us";
    PhaseResult r =
        runPhase({&side}, {"pingpong " + std::to_string(s.pingpong) + " " + file.string()},
                 processes, 30 + 0.005 * static_cast<double>(s.pingpong));
    std::vector<double> lat = readLatencies(file);
    f["ping-pong p50 us"].push_back(percentile(lat, 0.50));
    f["ping-pong p90 us"].push_back(percentile(lat, 0.90));
    f["ping-pong p99 us"].push_back(percentile(lat, 0.99));
    f["ping-pong max us"].push_back(percentile(lat, 1.0));
    double n = static_cast<double>(r.orders);
    f["ping-pong CPU us/order, gateways|engines"].push_back(1e6 * sum(r.cpu, 0, engines) / n);
    if (engines < apps)
        f["ping-pong CPU us/order, our applications"].push_back(1e6 * sum(r.cpu, engines, apps) /
                                                                n);
    if (servers > 0)
        f["ping-pong CPU us/order, NATS servers"].push_back(1e6 * sum(r.cpu, apps, 99) / n);
    std::printf(
        "%-8s round %d  ping-pong %6ld orders  p50 %.0f  p90 %.0f  p99 %.0f  max %.0f us  %s\n",
        who, round, r.orders, percentile(lat, 0.5), percentile(lat, 0.9), percentile(lat, 0.99),
        percentile(lat, 1.0), cpuText(processes, r).c_str());

    r = runPhase({&side}, {"window " + std::to_string(s.window) + " " + std::to_string(inflight)},
                 processes, 30 + 0.005 * static_cast<double>(s.window));
    n = static_cast<double>(r.orders);
    f["window orders/s"].push_back(n / r.seconds);
    f["window CPU us/order, gateways|engines"].push_back(1e6 * sum(r.cpu, 0, engines) / n);
    if (engines < apps)
        f["window CPU us/order, our applications"].push_back(1e6 * sum(r.cpu, engines, apps) / n);
    if (servers > 0)
        f["window CPU us/order, NATS servers"].push_back(1e6 * sum(r.cpu, apps, 99) / n);
    std::printf("%-8s round %d  window    %6ld orders  %.0f orders/s  %s\n", who, round, r.orders,
                n / r.seconds, cpuText(processes, r).c_str());
    std::fflush(stdout);
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

// A session configuration: our CompID, theirs.
std::string siteConfig(const std::string& sender, const std::string& target) {
    return "~ {8=FIX.4.2,9=,35=,49=" + sender + ",56=" + target +
           ",34=,52=}\nA {98=0,108=30}\n0 {}\n1 {112=}\n2 {7=,16=}\n3 {}\n4 {123=Y}\n5 {}\n";
}

void waitOnline(Shm& table, const std::vector<std::string>& sites, const Child& gateway) {
    auto deadline = Clock::now() + std::chrono::seconds(15);
    for (const std::string& site : sites) {
        while (table.getCell(site)->status != status_Online) {
            checkInterrupt();
            if (Clock::now() > deadline)
                throw std::runtime_error("site " + site + " did not log on: " + gateway.errors());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

// Waits up to 10 s until a TCP connection to 127.0.0.1:port succeeds.
void waitListening(int port, Child& server) {
    for (int i = 0; i < 200; ++i) {
        checkInterrupt();
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (up) return;
        if (!server.running()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error(server.name + " did not listen: " + server.errors());
}

// Starts gatelisten with args on a free port (a few tries); returns once it listens.
Child& startListen(Round& r, const std::vector<std::string>& args, const fs::path& home,
                   int& port) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = freePort();
        std::vector<std::string> all{"gatelisten", args[0], "-p", std::to_string(port)};
        all.insert(all.end(), args.begin() + 1, args.end());
        Child& c = r.start("gatelisten", all, home, false);
        for (int i = 0; i < 50 && c.running(); ++i) {
            if (c.errors().find("Socket service [" + std::to_string(port) + "]") !=
                std::string::npos)
                return c;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        c.stop();
    }
    throw std::runtime_error("gatelisten did not listen");
}

// Starts `count` NATS servers with JetStream on free loopback ports in the round's folder, as
// one cluster when more than one; returns their client URLs, comma-separated.
std::string startNats(Round& r, int count, std::vector<Child*>& servers) {
    std::vector<int> ports, routes;
    for (int i = 0; i < count; ++i) {
        ports.push_back(freePort());
        routes.push_back(freePort());
    }
    std::string urls;
    for (int i = 0; i < count; ++i) {
        std::string n = std::to_string(i + 1);
        std::ostringstream config;
        config << "server_name: rt" << n << "\nlisten: \"127.0.0.1:" << ports[i] << "\"\n"
               << "jetstream { store_dir: \"" << (r.home / ("nats" + n)).string() << "\" }\n";
        if (count > 1) {
            config << "cluster {\n  name: roundtrip\n  listen: \"127.0.0.1:" << routes[i]
                   << "\"\n  routes: [";
            for (int k = 0; k < count; ++k) {
                if (k != i)
                    config << (k == (i == 0 ? 1 : 0) ? " " : ", ")
                           << "\"nats-route://127.0.0.1:" << routes[k] << "\"";
            }
            config << " ]\n}\n";
        }
        fs::path file = r.home / ("nats" + n + ".conf");
        writeFile(file, config.str());
        servers.push_back(
            &r.start("nats-server" + n, {natsServer, "-c", file.string()}, r.home, false));
        urls += (i ? ",nats://127.0.0.1:" : "nats://127.0.0.1:") + std::to_string(ports[i]);
    }
    for (int i = 0; i < count; ++i) waitListening(ports[i], *servers[static_cast<size_t>(i)]);
    return urls;
}

// Makes the site's two streams: file storage, `replicas` copies, duplicates remembered 600 s.
// A cluster takes streams only once it has a leader, so a refusal is tried again for a while.
void makeStreams(const std::string& servers, const std::string& site, int replicas) {
    NatsLink link(NatsLink::Settings::withServers(servers), "roundtrip");
    StreamSettings settings;
    settings.replicas = replicas;
    for (int dir = 0; dir < 2; ++dir) {
        std::string name = dir ? StreamNames::inStream(site) : StreamNames::outStream(site);
        std::string subject = dir ? StreamNames::inSubject(site) : StreamNames::outSubject(site);
        for (int attempt = 0;; ++attempt) {
            checkInterrupt();
            try {
                StreamSetup::apply(link, name, subject, settings);
                break;
            } catch (const NatsException& e) {
                if (attempt >= 150) throw std::runtime_error(e.what());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
}

// The role a gateway's lease file names for the site ("active", "standby", "starting"), or "".
std::string leaseRole(const fs::path& home, const std::string& site) {
    std::ifstream in(home / "logs" / (site + ".lease"));
    std::string word;
    while (in >> word) {
        if (word.rfind("role=", 0) == 0) return word.substr(5);
    }
    return "";
}

void waitActive(const fs::path& home, const std::string& site, Child& gateway) {
    for (int i = 0; i < 300; ++i) {
        checkInterrupt();
        if (leaseRole(home, site) == "active") return;
        if (!gateway.running()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error(gateway.name + " did not take the lease of " + site + ": " +
                             gateway.errors());
}

// The last sequence of a stream; 0 when the servers do not answer.
std::uint64_t lastSequence(NatsLink& link, const std::string& stream) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if (js_GetStreamInfo(&info, link.jetStream(), stream.c_str(), nullptr, &code) != NATS_OK)
        return 0;
    std::uint64_t last = info->State.LastSeq;
    jsStreamInfo_Destroy(info);
    return last;
}

// Kills the active gateconnect of SELL1 with nothing in flight and publishes one order at once:
// milliseconds until BUY1's gatelisten has stored it on its IN stream, sent by the standby once
// it holds the lease.
double takeover(const std::string& urls, Child& active) {
    NatsLink link(NatsLink::Settings::withServers(urls), "roundtrip");
    StreamOutlet outlet(link, StreamNames::outStream("SELL1"), StreamNames::outSubject("SELL1"), 8);
    const std::string in = StreamNames::inStream("BUY1");
    const std::uint64_t before = lastSequence(link, in);
    const Clock::time_point killed = Clock::now();
    ::kill(active.pid, SIGKILL);
    waitpid(active.pid, nullptr, 0);
    active.pid = -1;
    if (!outlet.offer("roundtrip:takeover",
                      "35=D\x01"
                      "11=TAKEOVER\x01"
                      "21=1\x01"
                      "55=IBM\x01"
                      "54=1\x01"
                      "38=100\x01"
                      "40=2\x01"
                      "44=101.25\x01"))
        throw std::runtime_error("the takeover's order was refused: " + outlet.lastFault());
    while (lastSequence(link, in) <= before) {
        checkInterrupt();
        if (Clock::now() - killed > std::chrono::seconds(60))
            throw std::runtime_error("no takeover within 60 s");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - killed).count();
}

// Ours with the applications of both sites on JetStream: SELL1 at gateconnect, BUY1 at
// gatelisten, on one server or a cluster of three, streams of as many replicas. With standby,
// each site has a second gateway on a "host" of its own (folder, site table, queues, -g B), the
// gateconnects know both gatelisten ports (-x), and the takeover is timed after the phases.
void jetstreamRound(int round, const Settings& s, int replicas, Figures& f, bool standby = false) {
    Round r;
    std::vector<Child*> servers;
    std::string urls = startNats(r, replicas, servers);
    for (const char* site : {"SELL1", "BUY1"}) makeStreams(urls, site, replicas);
    if (standby) {
        for (const char* site : {"SELL1", "BUY1"})
            r.tool({"streammake", site, "-j", urls, "-r", std::to_string(replicas), "-l",
                    std::to_string(leaseSeconds)});
    }

    // One site table and four queues per host.
    struct Host {
        std::string table, listenIn, listenOut, in, out;
        fs::path listenHome, connectHome;
        int port = 0;
    };
    std::vector<Host> hosts(standby ? 2 : 1);
    writeFile(r.home / "sites.txt", "BUY1\nSELL1\n");
    const std::string streams =
        standby ? "@ {apps=jetstream standby=yes}\n" : "@ {apps=jetstream}\n";
    for (std::size_t h = 0; h < hosts.size(); ++h) {
        Host& host = hosts[h];
        int k = static_cast<int>(5 * h);
        host.table = r.ipcName(k + 1);
        host.listenIn = r.ipcName(k + 2);
        host.listenOut = r.ipcName(k + 3);
        host.in = r.ipcName(k + 4);
        host.out = r.ipcName(k + 5);
        r.tool({"tablemake", host.table});
        for (const std::string& q : {host.listenIn, host.listenOut, host.in, host.out})
            r.tool({"queuemake", q});
        r.tool({"siteload", host.table, (r.home / "sites.txt").string()});
        std::string suffix = h == 0 ? "" : "-B";
        host.listenHome = r.home / ("listen" + suffix);
        host.connectHome = r.home / ("SELL1" + suffix);
        for (const fs::path& home : {host.listenHome, host.connectHome}) {
            fs::create_directories(home / "cfg");
            fs::create_directories(home / "logs");
        }
        writeFile(host.listenHome / "cfg" / "BUY1.fix", siteConfig("SELLSIDE", "BUY1") + streams);
        writeFile(host.connectHome / "cfg" / "SELL1.fix", siteConfig("BUY1", "SELLSIDE") + streams);
    }
    Shm cells(hosts[0].table);

    auto named = [&](std::vector<std::string> args, std::size_t h) {
        if (standby) {
            args.push_back("-g");
            args.push_back(h == 0 ? "A" : "B");
        }
        return args;
    };
    std::vector<Child*> listens, connects;
    for (std::size_t h = 0; h < hosts.size(); ++h) {
        Host& host = hosts[h];
        listens.push_back(&startListen(
            r, named({host.table, "-i", host.listenIn, "-o", host.listenOut, "-j", urls}, h),
            host.listenHome, host.port));
        if (standby && h == 0) waitActive(host.listenHome, "BUY1", *listens.back());
    }
    Child& fills = r.start("rt_fills", {"rt_fills", "--jetstream", urls, "BUY1"}, r.home, false);
    for (std::size_t h = 0; h < hosts.size(); ++h) {
        Host& host = hosts[h];
        std::vector<std::string> args{
            "gateconnect", host.table, "SELL1", "127.0.0.1", std::to_string(hosts[0].port),
            "-i",          host.in,    "-o",    host.out,    "-j",
            urls};
        if (standby) {
            args.push_back("-x");
            args.push_back("127.0.0.1:" + std::to_string(hosts[1].port));
        }
        connects.push_back(&r.start("gateconnect" + std::string(h == 0 ? "1" : "1-B"),
                                    named(args, h), host.connectHome, false));
        if (h == 0) {
            if (standby) waitActive(host.connectHome, "SELL1", *connects.back());
            waitOnline(cells, {"SELL1", "BUY1"}, *connects.back());
        }
    }
    Child& orders =
        r.start("rt_orders1", {"rt_orders", "--jetstream", urls, "SELL1", "S1"}, r.home, true);
    std::vector<Child*> processes = listens;
    processes.insert(processes.end(), connects.begin(), connects.end());
    processes.push_back(&fills);
    processes.push_back(&orders);
    processes.insert(processes.end(), servers.begin(), servers.end());
    std::string who = "JS R" + std::to_string(replicas) + (standby ? " standby" : "");
    commonPhases(who.c_str(), round, s, orders, processes, listens.size() + connects.size(), r.home,
                 f, servers.size());
    if (standby) {
        orders.stop();
        double ms = takeover(urls, *connects[0]);
        f["takeover ms, kill -9 to the next order accepted"].push_back(ms);
        std::printf(
            "%-8s round %d  takeover  %.0f ms from kill -9 of the active gateconnect to "
            "the next order accepted (lease %d s)\n",
            who.c_str(), round, ms, leaseSeconds);
        std::fflush(stdout);
    }
}

void oursRound(int round, const Settings& s, Figures& f) {
    Round r;
    std::string table = r.ipcName(1), listenIn = r.ipcName(2), listenOut = r.ipcName(3);
    r.tool({"tablemake", table});
    for (const std::string& q : {listenIn, listenOut}) r.tool({"queuemake", q});
    std::string sites;
    for (int k = 1; k <= 4; ++k) sites += "BUY" + std::to_string(k) + "\n";
    for (int k = 1; k <= 4; ++k) sites += "SELL" + std::to_string(k) + "\n";
    writeFile(r.home / "sites.txt", sites);
    r.tool({"siteload", table, (r.home / "sites.txt").string()});
    Shm cells(table);

    fs::path listenHome = r.home / "listen";
    fs::create_directories(listenHome / "cfg");
    fs::create_directories(listenHome / "logs");
    for (int k = 1; k <= 4; ++k) {
        std::string buy = "BUY" + std::to_string(k);
        writeFile(listenHome / "cfg" / (buy + ".fix"), siteConfig("SELLSIDE", buy));
    }
    int port = 0;
    Child* listen = &startListen(r, {table, "-i", listenIn, "-o", listenOut}, listenHome, port);
    Child& fills = r.start("rt_fills", {"rt_fills", table, listenOut, listenIn}, r.home, false);

    std::vector<Child*> gateways{listen}, sides;
    // Site k: a gateconnect in its own folder with its own queues, and an order side.
    auto connect = [&](int k) {
        std::string sell = "SELL" + std::to_string(k), buy = "BUY" + std::to_string(k);
        std::string in = r.ipcName(2 + 2 * k), out = r.ipcName(3 + 2 * k);
        for (const std::string& q : {in, out}) r.tool({"queuemake", q});
        fs::path home = r.home / sell;
        fs::create_directories(home / "cfg");
        fs::create_directories(home / "logs");
        writeFile(home / "cfg" / (sell + ".fix"), siteConfig(buy, "SELLSIDE"));
        Child& gw = r.start(
            "gateconnect" + std::to_string(k),
            {"gateconnect", table, sell, "127.0.0.1", std::to_string(port), "-i", in, "-o", out},
            home, false);
        waitOnline(cells, {sell, buy}, gw);
        gateways.push_back(&gw);
        sides.push_back(&r.start("rt_orders" + std::to_string(k),
                                 {"rt_orders", table, sell, in, out, "S" + std::to_string(k)},
                                 r.home, true));
    };
    connect(1);
    auto processes = [&] {
        std::vector<Child*> all = gateways;
        all.push_back(&fills);
        all.insert(all.end(), sides.begin(), sides.end());
        return all;
    };
    commonPhases("ours", round, s, *sides[0], processes(), gateways.size(), r.home, f);

    double pingP50 = f["ping-pong p50 us"].back(), pingP99 = f["ping-pong p99 us"].back();
    auto paced = [&](const std::string& label, size_t nsites, int rate) {
        std::vector<Child*> used(sides.begin(), sides.begin() + static_cast<long>(nsites));
        std::vector<std::string> commands;
        for (size_t i = 0; i < nsites; ++i) {
            commands.push_back("paced " + std::to_string(rate) + " " +
                               std::to_string(s.pacedSeconds) + " " +
                               (r.home / ("paced" + std::to_string(i) + ".us")).string());
        }
        std::vector<Child*> all = processes();
        PhaseResult p = runPhase(used, commands, all, s.pacedSeconds + 30);
        std::vector<double> lat;
        for (size_t i = 0; i < nsites; ++i) {
            std::vector<double> one = readLatencies(r.home / ("paced" + std::to_string(i) + ".us"));
            lat.insert(lat.end(), one.begin(), one.end());
        }
        double p50 = percentile(lat, 0.5), p99 = percentile(lat, 0.99), max = percentile(lat, 1);
        f["paced " + label + " p50 us"].push_back(p50);
        f["paced " + label + " p99 us"].push_back(p99);
        f["paced " + label + " max us"].push_back(max);
        f["paced " + label + " p50 / ping-pong p50"].push_back(p50 / pingP50);
        f["paced " + label + " p99 / ping-pong p99"].push_back(p99 / pingP99);
        std::printf("%-8s round %d  paced %-9s %5ld orders  p50 %.0f  p99 %.0f  max %.0f us  %s\n",
                    "ours", round, label.c_str(), p.orders, p50, p99, max, cpuText(all, p).c_str());
        std::fflush(stdout);
    };
    paced("1x100/s", 1, 100);
    paced("1x400/s", 1, 400);
    paced("1x1000/s", 1, 1000);
    for (int k = 2; k <= 4; ++k) connect(k);
    paced("4x500/s", 4, 500);
}

void quickfixRound(int round, const Settings& s, Figures& f) {
    Round r;
    Child* acceptor = nullptr;
    int port = 0;
    for (int attempt = 0; attempt < 5 && acceptor == nullptr; ++attempt) {
        port = freePort();
        Child& c = r.start("qf_acceptor",
                           {"qf_acceptor", std::to_string(port), (r.home / "acceptor").string()},
                           r.home, true);
        try {
            if (c.readLine(10) == "ready") acceptor = &c;
        } catch (const std::runtime_error&) {
            checkInterrupt();
        }
        if (acceptor == nullptr) c.stop();
    }
    if (acceptor == nullptr) throw std::runtime_error("qf_acceptor did not listen");
    Child& initiator = r.start(
        "qf_initiator", {"qf_initiator", std::to_string(port), (r.home / "initiator").string()},
        r.home, true);
    std::string ready = initiator.readLine(20);
    if (ready != "ready") throw std::runtime_error("qf_initiator: " + ready);
    commonPhases("QuickFIX", round, s, initiator, {&initiator, acceptor}, 2, r.home, f);
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Our queue path beside ours on JetStream, one column per replica count (or, with --standby, 3
// replicas without and with the standby gateways).
void reportStreams(const Figures& ours, const std::vector<Figures>& streams, bool standby) {
    if (standby) {
        std::printf(
            "\nOurs on JetStream, 3 replicas, without and with the standby gateways "
            "(medians over the same rounds)\n");
        std::printf("%-48s %12s %12s\n", "figure", "no standby", "standby");
    } else {
        std::printf(
            "\nOurs: queues beside JetStream applications (medians over the same rounds)\n");
        std::printf("%-48s %12s %12s %12s\n", "figure", "queues", "JS 1 replica", "JS 3 replicas");
    }
    for (const char* name :
         {"ping-pong p50 us", "ping-pong p90 us", "ping-pong p99 us", "ping-pong max us",
          "window orders/s", "ping-pong CPU us/order, gateways|engines",
          "window CPU us/order, gateways|engines", "ping-pong CPU us/order, our applications",
          "window CPU us/order, our applications", "ping-pong CPU us/order, NATS servers",
          "window CPU us/order, NATS servers", "takeover ms, kill -9 to the next order accepted"}) {
        std::printf("%-48s", name);
        auto o = ours.find(name);
        if (!standby && o != ours.end())
            std::printf(" %12.1f", median(o->second));
        else if (!standby)
            std::printf(" %12s", "");
        for (const Figures& f : streams) {
            auto j = f.find(name);
            if (j != f.end())
                std::printf(" %12.1f", median(j->second));
            else
                std::printf(" %12s", "");
        }
        std::printf("\n");
    }
}

void report(const Figures& ours, const Figures& quickfix, int rounds) {
    std::printf("\nMedians over %d rounds (ratio: ours / QuickFIX FileStore)\n", rounds);
    std::printf("%-44s %12s %12s %8s\n", "figure", "ours", "QuickFIX", "ratio");
    std::vector<std::string> order = {"ping-pong p50 us",
                                      "ping-pong p90 us",
                                      "ping-pong p99 us",
                                      "ping-pong max us",
                                      "window orders/s",
                                      "ping-pong CPU us/order, gateways|engines",
                                      "window CPU us/order, gateways|engines",
                                      "ping-pong CPU us/order, our applications",
                                      "window CPU us/order, our applications"};
    for (const char* label : {"1x100/s", "1x400/s", "1x1000/s", "4x500/s"}) {
        for (const char* what :
             {" p50 us", " p99 us", " max us", " p50 / ping-pong p50", " p99 / ping-pong p99"})
            order.push_back(std::string("paced ") + label + what);
    }
    for (const std::string& name : order) {
        auto o = ours.find(name), q = quickfix.find(name);
        if (o == ours.end()) continue;
        double a = median(o->second);
        bool ratioRow = name.find(" / ") != std::string::npos;
        std::printf(ratioRow ? "%-44s %12.2f" : "%-44s %12.1f", name.c_str(), a);
        if (q != quickfix.end()) {
            double b = median(q->second);
            std::printf(" %12.1f %8.2f", b, a / b);
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    s.jetstream = ::access(natsServer, X_OK) == 0;
    for (int i = 1; i < argc; i += 2) {
        std::string option = argv[i];
        double value = i + 1 < argc ? std::atof(argv[i + 1]) : 0;
        if (option == "--jetstream" || option == "--no-jetstream") {
            s.jetstream = option == "--jetstream";
            if (s.jetstream && ::access(natsServer, X_OK) != 0) {
                std::cerr << "roundtrip: --jetstream needs " << natsServer
                          << " (apt-get install nats-server)" << std::endl;
                return 1;
            }
            --i;  // takes no value
        } else if (option == "--standby") {
            if (::access(natsServer, X_OK) != 0) {
                std::cerr << "roundtrip: --standby needs " << natsServer
                          << " (apt-get install nats-server)" << std::endl;
                return 1;
            }
            s.standby = true;
            --i;  // takes no value
        } else if (option == "--rounds" && value >= 1) {
            s.rounds = static_cast<int>(value);
        } else if (option == "--pingpong" && value >= 1) {
            s.pingpong = static_cast<long>(value);
        } else if (option == "--window" && value >= inflight) {
            s.window = static_cast<long>(value);
        } else if (option == "--paced-seconds" && value > 0) {
            s.pacedSeconds = value;
        } else {
            std::cerr << "Usage: roundtrip [--rounds N] [--pingpong N] [--window N>=500] "
                         "[--paced-seconds S] [--jetstream|--no-jetstream] [--standby]"
                      << std::endl;
            return 255;
        }
    }
    struct sigaction stop = {};
    stop.sa_handler = onInterrupt;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::printf(
        "roundtrip: %d rounds, ping-pong %ld, window %ld (at most %ld in flight), paced "
        "%.1f s, JetStream %s; load average at start %s\n",
        s.rounds, s.pingpong, s.window, inflight, s.pacedSeconds,
        s.standby     ? "3 replicas, without and with standby gateways"
        : s.jetstream ? "1 and 3 replicas"
                      : "not run",
        loadAverage().c_str());
    Figures ours, quickfix;
    std::vector<Figures> streams(2);
    try {
        for (int round = 1; round <= s.rounds && s.standby; ++round) {
            jetstreamRound(round, s, 3, streams[0]);
            jetstreamRound(round, s, 3, streams[1], true);
        }
        for (int round = 1; round <= s.rounds && !s.standby; ++round) {
            oursRound(round, s, ours);
            quickfixRound(round, s, quickfix);
            if (s.jetstream) {
                jetstreamRound(round, s, 1, streams[0]);
                jetstreamRound(round, s, 3, streams[1]);
            }
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::cerr << "roundtrip: FAILED: " << e.what() << std::endl;
        return interrupted ? 130 : 1;
    }
    if (!s.standby) report(ours, quickfix, s.rounds);
    if (s.jetstream || s.standby) reportStreams(ours, streams, s.standby);
    std::printf("load average at end %s\n", loadAverage().c_str());
    return 0;
}
