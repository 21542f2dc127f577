// gateconnect: the initiator gateway. One process serves one site: it attaches the site table and
// the application's output queue, connects to the counterparty and runs the site's FIX session on
// the main thread until the session ends. A site with a schedule is served window after window;
// alternate addresses are tried in order until one answers the Logon.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Common.h"
#include "Converter.h"
#include "Dispatcher.h"
#include "FixClient.h"
#include "FixConfig.h"
#include "Log.h"
#include "MsgQueue.h"
#include "Mutex.h"
#include "NatsLink.h"
#include "Options.h"
#include "Session.h"
#include "Shm.h"
#include "SiteStandby.h"
#include "Socket.h"
#include "StreamNames.h"
#include "Syslog.h"

namespace {

constexpr int exitFailure = 1;
constexpr int exitLogonFailed = 2;
// The pause before the addresses are tried again from the first: doubled after each round, up to
// the ceiling, and back to the first after a session that logged on.
constexpr int firstBackoff = 1;
constexpr int backoffCeiling = 60;
constexpr int standbyBackoffCeiling = 2;

// Options in the case and with the defaults the program uses; the manual's synopsis says the same.
const char* const usage =
    "Usage: gateconnect shm site remoteAddress servicePort [-x host:port[,host:port...]] "
    "[-i c.1] [-o c.0] [-r Y] [-j servers] [-g gateway]\n";

struct Address {
    std::string host;
    int port;
    // The port as written, for the console.
    std::string portText;
    std::string text() const { return host + ":" + portText; }
};

// The main address, then the alternates -x names in order; empty when -x is malformed.
std::vector<Address> addressesOf(const Options& options, int port) {
    std::vector<Address> all{{options.getArgument(3), port, options.getArgument(4)}};
    if (!options.is_present('x')) return all;
    std::string list = options.getOption('x');
    std::size_t at = 0;
    for (;;) {
        std::size_t comma = list.find(',', at);
        std::string one = list.substr(at, comma == std::string::npos ? comma : comma - at);
        std::size_t colon = one.rfind(':');
        int p = colon == std::string::npos ? 0 : Converter::to_port(one.substr(colon + 1));
        if (p == 0 || colon == 0) return {};
        all.push_back({one.substr(0, colon), p, one.substr(colon + 1)});
        if (comma == std::string::npos) return all;
        at = comma + 1;
    }
}

// What one connection to one address came to.
struct Attempt {
    int result = FixClient::LogonFailed;
    std::string why;
    bool onSchedule = false;
    bool byOperator = false;
};

struct Site {
    Shm& shm;
    MsgQueue* mqOut;
    std::string site;
    std::string inName;
    bool askReset;
    NatsLink* broker;
    // A site served by two gateways: this one's standby (none otherwise).
    SiteStandby* standby;
};

// Connects to one address and runs the session there. A connection that fails is a logon that
// failed, unless `once` (the one address of a site without a schedule), where it ends the
// program as it always did.
Attempt attempt(Site& s, const Address& a, Syslog& slog, bool once) {
    Attempt done;
    std::unique_ptr<Socket> sock;
    try {
        sock = std::make_unique<Socket>(a.host, a.port);
    } catch (const SocketException& e) {
        if (once) throw;
        done.why = "connection failed: " + e.withReason();
        return done;
    }
    slog.printlog("Socket connection with remote host [" + a.text() + "] was established.", Normal);
    Mutex mutex;
    FixClient client(*sock, s.site);
    client.Setup(s.shm, mutex, s.mqOut, s.inName);
    client.useBroker(s.broker);
    if (s.standby) client.useStandby(s.standby);
    client.askReset(s.askReset);
    try {
        done.result = client.Client();
        done.why = client.endReason();
    } catch (const NatsException& e) {
        // The cluster did not answer while the session opened its streams (a member just lost,
        // leaders being elected): a site kept by two gateways is tried again, never left with
        // no gateway serving it.
        if (!s.standby) throw;
        done.result = FixClient::LogonFailed;
        done.why = "the NATS servers: " + Session::clause(e.what());
    }
    done.onSchedule = client.endedOnSchedule();
    done.byOperator = client.stoppedByOperator();
    // The connection ends with its session: a Socket does not close itself, and a descriptor
    // left open would hold the counterparty's session up and leak one per attempt.
    try {
        sock->closeOff();
    } catch (const SocketException&) {
    }
    return done;
}

// Sleeps in short slices until `until`, so a termination signal ends the wait at once; false
// when one did.
bool waitUntil(std::time_t until) {
    while (!Session::stopRequestedForAll() && std::time(nullptr) < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return !Session::stopRequestedForAll();
}

// A site with a schedule, or with alternate addresses: sessions one after another, inside the
// windows, each address in turn until one logs on. Ends on a termination signal, on a failure
// of our own side, or (without a schedule) when a session that logged on ends.
int serveOnSchedule(Site& s, const std::vector<Address>& addresses, const Schedule* schedule,
                    Syslog& slog, std::string& why) {
    std::size_t next = 0;
    int backoff = firstBackoff;
    std::optional<std::time_t> periodStart;
    bool first = true;
    while (!Session::stopRequestedForAll()) {
        if (s.standby && !s.standby->mayAct()) {
            // Only the active gateway connects; once this one is, from the first address.
            slog.printlog("Site [" + s.site + "]: gateway " + s.standby->gatewayName() +
                              " waits to be the site's active gateway.",
                          Normal);
            if (!s.standby->waitActive([] { return Session::stopRequestedForAll(); })) break;
            next = 0;
            backoff = firstBackoff;
        }
        std::time_t now = std::time(nullptr);
        if (schedule && !schedule->inWindow(now)) {
            std::optional<std::time_t> opens = schedule->nextOpen(now);
            std::string when = opens ? schedule->local(*opens) : std::string("never");
            slog.printlog("Outside the window: waiting for it to open at " + when + ".", Normal);
            if (!opens || !waitUntil(*opens)) {
                why = "termination signal while waiting for the window to open at " + when;
                return 0;
            }
            continue;
        }
        // Each period starts from the first address.
        std::optional<std::time_t> start = schedule ? schedule->lastReset(now) : std::nullopt;
        if (first || start != periodStart) {
            periodStart = start;
            next = 0;
            backoff = firstBackoff;
            first = false;
        }
        const Address& a = addresses[next];
        slog.printlog("Trying address [" + a.text() + "] (" + Converter::to_string(next + 1) +
                          " of " + Converter::to_string(addresses.size()) + ").",
                      Normal);
        Attempt done = attempt(s, a, slog, false);
        why = done.why;
        // A gateway that may no longer act for its site goes back to standing by.
        bool fenced = s.standby && !s.standby->mayAct();
        if (done.result == FixClient::SessionFailed && !fenced) return exitFailure;
        if (fenced) {
            slog.printlog("Session ended: " + done.why + ".", Normal);
            continue;
        }
        if (Session::stopRequestedForAll())
            return done.result == FixClient::LogonFailed ? exitLogonFailed : 0;
        if (done.result == 0) {
            if (done.onSchedule) {
                slog.printlog("Session ended on schedule: " + done.why + ".", Normal);
                continue;
            }
            // An operator's stop is obeyed, window or not; a site with a standby is always served.
            if ((!schedule && !s.standby) || done.byOperator) return 0;
            // Ended inside the window by the counterparty or the connection: again, from the
            // first address, after the shortest pause.
            backoff = firstBackoff;
            slog.printlog("Session ended inside the window: " + done.why +
                              "; logging on again in " + Converter::to_string(backoff) + " s.",
                          Normal);
            next = 0;
        } else {
            slog.printlog(
                "Address [" + a.text() + "] gave no session: " + done.why + "; moving on.", Normal);
            if (++next < addresses.size()) continue;
            next = 0;
            slog.printlog(
                "Every address tried: the first again in " + Converter::to_string(backoff) + " s.",
                Normal);
        }
        if (!waitUntil(std::time(nullptr) + backoff)) {
            why = "termination signal while waiting to connect again";
            return 0;
        }
        // The active gateway of a site with a standby is due on the wire within seconds of
        // taking over; a counterparty still holding the old connection lets go of it soon.
        backoff = std::min(backoff * 2, s.standby ? standbyBackoffCeiling : backoffCeiling);
    }
    why = "termination signal";
    return 0;
}

// Runs the site's sessions; `why` says why the last ended.
int run(Options& options, const std::vector<Address>& addresses, Syslog& slog, std::string& why) {
    std::string shmName = options.getArgument(1);
    std::string site = options.getArgument(2);

    Shm shm(shmName);
    slog.printlog("Shared Memory [" + shmName + "] was attached.", Normal);

    std::string inName = options.is_present('i') ? options.getOption('i') : "c.1";

    // A data dictionary that cannot be read, a schedule that cannot be, or a site configured for
    // the acceptor, ends the program before it connects; any other fault of the configuration is
    // reported where it always was, once connected.
    std::unique_ptr<FixConfig> checked;
    try {
        checked = std::make_unique<FixConfig>(site);
    } catch (const DictionaryRefused&) {
        throw;
    } catch (const ScheduleRefused&) {
        throw;
    } catch (const CfgException&) {
    }
    if (checked && checked->role() == FixConfig::Role::Acceptor) {
        std::cerr << "Site [" << site << "] is configured for the acceptor (role=acceptor in ./cfg/"
                  << site << ".fix): gateconnect does not serve it." << std::endl;
        return exitFailure;
    }
    // From now on gatelisten with this FIXHOME never takes a Logon for the site, even while
    // this program is down and restarting.
    if (checked) Session::markInitiator(site);

    // A site whose applications use JetStream needs its link and both streams before it logs on,
    // and no queues.
    std::unique_ptr<NatsLink> broker;
    std::unique_ptr<MsgQueue> mqOut;
    if (checked && checked->jetStream()) {
        std::string refusal = StreamNames::refusal(site);
        if (!refusal.empty()) throw NatsException(refusal);
        broker = std::make_unique<NatsLink>(NatsLink::Settings::withServers(options.getOption('j')),
                                            "gateconnect " + site);
        slog.printlog("NATS servers [" + broker->servers() + "] were reached.", Normal);
        broker->checkStream(StreamNames::outStream(site), StreamNames::outSubject(site));
        broker->checkStream(StreamNames::inStream(site), StreamNames::inSubject(site));
        slog.printlog("Streams [" + StreamNames::outStream(site) + "] and [" +
                          StreamNames::inStream(site) + "] carry the site's applications.",
                      Normal);
    } else {
        std::string outName = options.is_present('o') ? options.getOption('o') : "c.0";
        mqOut = std::make_unique<MsgQueue>(outName, 0, 0);
        slog.printlog("MsgQueue [" + outName + "] was attached.", Normal);
    }

    // A site served by two gateways: this one follows the other until it holds the lease.
    std::unique_ptr<SiteStandby> standby;
    if (checked && checked->standby()) {
        if (!broker)
            throw NatsException("Site [" + site +
                                "] has standby=yes and takes its applications through queues: "
                                "a standby needs apps=jetstream.");
        std::string name = SiteStandby::nameOf(options.getOption('g'));
        standby = std::make_unique<SiteStandby>(
            *broker, site, name, [&slog](const std::string& line) { slog.printlog(line, Normal); });
        slog.printlog("Site [" + site + "] is served by two gateways; this one is [" + name +
                          "], lease lifetime " + Converter::to_string(standby->lifetimeMs()) +
                          " ms.",
                      Normal);
        if (standby->Start() != 0) throw NatsException("Fail to start the standby thread.");
    }

    Site s{shm,          mqOut.get(),  site, inName, options.getOption('r') == "Y",
           broker.get(), standby.get()};
    const Schedule* schedule = checked && checked->namesSchedule() ? &checked->schedule() : nullptr;
    if (schedule || addresses.size() > 1 || standby)
        return serveOnSchedule(s, addresses, schedule, slog, why);

    // One address and no schedule: one session, ended with the program.
    Attempt done = attempt(s, addresses.front(), slog, true);
    why = done.why;
    if (done.result == FixClient::LogonFailed) return exitLogonFailed;
    return done.result == 0 ? 0 : exitFailure;
}

// A failure that stopped the program (mostly before the Logon): its text on standard error, and
// the reason for the end line, without the text's closing period.
std::string failure(const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return "failure: " + Session::clause(e.what());
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
    int port = Converter::to_port(options.getArgument(4));
    std::vector<Address> addresses = addressesOf(options, port);
    // -r takes Y (a Logon with ResetSeqNumFlag) or N (the default); anything else is a typo.
    bool resetValid =
        !options.is_present('r') || options.getOption('r') == "Y" || options.getOption('r') == "N";
    if (options.getCount() < 5 || port == 0 || !resetValid || addresses.empty()) {
        std::cout << usage << std::endl;
        return -1;
    }
    // A peer that resets the connection must show up as a failed send, not end the process.
    signal(SIGPIPE, SIG_IGN);
    // A log at the file size limit must fail its write and end the session, not kill the process.
    signal(SIGXFSZ, SIG_IGN);
    // A SIGUSR2 from outside, even before the session starts its dispatcher, only cuts a wait
    // short; every wait then looks again.
    Dispatcher::installWakeHandler();
    // A termination signal ends the session in order: a Logout, and outbound texts it holds go
    // back to the queue.
    Session::stopOnTerminationSignals();
    fix_init_env();
    Syslog slog(Normal);
    slog.version("gateconnect");
    int status = exitFailure;
    std::string why;
    try {
        status = run(options, addresses, slog, why);
    } catch (const SocketException& e) {
        std::cerr << e.what() << std::endl;
        why = "failure: " + e.withReason();
    } catch (const std::exception& e) {
        // The table, the queue, the cell, a log, the configuration or the journal: each says
        // what went wrong in its text. Anything else ends in order too, not by abort.
        why = failure(e);
    }
    // The operator's one line on how it ended; the exit status says the same to a supervisor.
    slog.printlog("Session ended: " + why + " (exit " + Converter::to_string(status) + ").",
                  Normal);
    return status;
}
