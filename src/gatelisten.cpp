// gatelisten: the acceptor gateway. One process listens on a TCP port (on every local address, or
// on the one -a names) and serves every counterparty that connects, each connection on a session
// thread of its own; the main thread does nothing but accept. The site table and both queues must
// exist beforehand.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>

#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include "Common.h"
#include "Converter.h"
#include "Dispatcher.h"
#include "FixConfig.h"
#include "FixServer.h"
#include "MsgQueue.h"
#include "Mutex.h"
#include "NatsLink.h"
#include "Options.h"
#include "ServerSocket.h"
#include "Shm.h"
#include "SiteStandby.h"
#include "Socket.h"
#include "Syslog.h"

namespace {

constexpr int defaultPort = 6001;
constexpr int exitFailure = 1;
constexpr int exitUsage = -1;

const char* const usage =
    "Usage: gatelisten mem [-p port] [-a address] [-i queue] [-o queue] [-j servers] "
    "[-g gateway]\n";

// Seconds a stopped acceptor gives its sessions to say Logout, hear the answer and end.
constexpr int stopWait = 10;

int serve(Options& options, int port, const std::string& address, Syslog& slog, Mutex& mutex) {
    std::string shmName = options.getArgument(1);
    Shm shm(shmName);
    slog.printlog("Shared Memory [" + shmName + "] was attached.", Normal);

    std::string outName = options.is_present('o') ? options.getOption('o') : "s.0";
    MsgQueue mqOut(outName, 0, 0);
    slog.printlog("MsgQueue [" + outName + "] was attached.", Normal);

    std::string inName = options.is_present('i') ? options.getOption('i') : "s.1";

    // Sites whose applications use JetStream share one link; without servers named such a site's
    // Logon is refused, the others are served as ever.
    std::unique_ptr<NatsLink> broker;
    NatsLink::Settings nats = NatsLink::Settings::withServers(options.getOption('j'));
    if (!nats.servers.empty()) {
        broker = std::make_unique<NatsLink>(nats, "gatelisten");
        slog.printlog("NATS servers [" + broker->servers() + "] were reached.", Normal);
    }

    // Sites of the table served by two gateways: each follows the other gateway's state from now
    // on and takes the site when its lease lapses; a Logon is served only while active.
    std::map<std::string, std::unique_ptr<SiteStandby>> standbys;
    for (int i = 0; i < maxCells; ++i) {
        const MemoryCell* cell = shm.getCell(i);
        std::string site(cell->name, strnlen(cell->name, sizeof cell->name - 1));
        if (site.empty()) continue;
        std::unique_ptr<FixConfig> cfg;
        try {
            cfg = std::make_unique<FixConfig>(site);
        } catch (const std::exception&) {
            continue;  // said at the site's Logon, as ever
        }
        if (!cfg->standby()) continue;
        if (!broker || !cfg->jetStream()) {
            slog.printlog("Site [" + site + "] has standby=yes " +
                              (broker ? "and takes its applications through queues"
                                      : "and no NATS servers are named") +
                              ": its Logons are refused.",
                          Fatal);
            continue;
        }
        auto standby = std::make_unique<SiteStandby>(
            *broker, site, SiteStandby::nameOf(options.getOption('g')),
            [&slog](const std::string& line) { slog.printlog(line, Normal); });
        if (standby->Start() != 0) throw NatsException("Fail to start the standby thread.");
        standbys[site] = std::move(standby);
    }
    FixServer::standbyFor = [&standbys](const std::string& site) -> SiteStandby* {
        auto found = standbys.find(site);
        return found == standbys.end() ? nullptr : found->second.get();
    };

    // Connections opened all at once must each reach accept(), not wait out SYN retries.
    ServerSocket server(port, ServerSocket::maxBacklog(), address);
    std::string service = Converter::to_string(port);
    if (!address.empty()) service = address + ":" + service;
    slog.printlog("Socket service [" + service + "] was created.", Normal);

    // The accept waits in short slices so a termination signal is seen within half a second.
    while (!Session::stopRequestedForAll()) {
        if (!server.waitReadable(500)) continue;
        auto sock = std::make_unique<Socket>(server.accept());
        std::string peer = server.getRemoteIp();
        auto* session = new FixServer(std::move(sock), peer);
        slog.printlog("New thread created for client [" + peer + "].", Normal);
        session->Setup(shm, mutex, &mqOut, inName);
        session->useBroker(broker.get());
        if (session->Start() != 0) {
            // No thread could be had: the connection is closed and the program goes on.
            slog.printlog("Fail to create a thread for client [" + peer + "].", Fatal);
            delete session;
        }
    }
    // Every session says Logout and ends on its own; the program waits for them, within reason.
    slog.printlog("Stop requested: the sessions log out.", Normal);
    for (int i = 0; i < stopWait * 100 && FixServer::running() > 0; ++i) Comm::sleep_ms(10000);
    // Journals parked for sites that left earlier are closed; their texts wait in the files.
    FixServer::endParking();
    int status = FixServer::running() == 0 ? 0 : exitFailure;
    // Leases go back only once the sessions have said Logout; a session still running keeps
    // its standby (and the lease lapses) until the process ends.
    for (auto& entry : standbys) {
        if (status != 0) {
            entry.second->stop(false);
            entry.second.release();
        }
    }
    standbys.clear();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Mutex mutex;
    Options options(argc, argv);
    // A port that is not one (letters, none, 0, beyond 65535) must not become a random or
    // wrapped one.
    int port = options.is_present('p') ? Converter::to_port(options.getOption('p')) : defaultPort;
    if (options.getCount() < 2 || port == 0) {
        std::cout << usage << std::endl;
        return exitUsage;
    }
    // Only a full dotted IPv4 address: a typing error must not widen what the acceptor listens on.
    std::string address = options.is_present('a') ? options.getOption('a') : std::string();
    in_addr parsed{};
    if (options.is_present('a') && inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        std::cout << "Listen address [" << address << "] is not a dotted IPv4 address."
                  << std::endl;
        return exitUsage;
    }
    // A peer that resets its connection must show up as a failed send, not end the process.
    signal(SIGPIPE, SIG_IGN);
    // A log at the file size limit must fail its write and end the session, not kill the process.
    signal(SIGXFSZ, SIG_IGN);
    // A SIGUSR2 from outside, even before the first session starts its dispatcher, only cuts a
    // wait short; every wait then looks again.
    Dispatcher::installWakeHandler();
    // A termination signal ends every session with a Logout before the program ends.
    Session::stopOnTerminationSignals();
    fix_init_env();
    Syslog slog(Normal);
    slog.version("gatelisten");
    try {
        return serve(options, port, address, slog, mutex);
    } catch (const ShmException& e) {
        std::cerr << e.what() << std::endl;
    } catch (const MQException& e) {
        std::cerr << e.what() << std::endl;
    } catch (const SocketException& e) {
        std::cerr << e.what() << std::endl;
    } catch (const NatsException& e) {
        std::cerr << e.what() << std::endl;
    }
    return exitFailure;
}
