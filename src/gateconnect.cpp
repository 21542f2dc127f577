// gateconnect: the initiator gateway. One process serves one site: it attaches the site table and
// the application's output queue, connects to the counterparty and runs the site's FIX session on
// the main thread until the session ends.
#include <signal.h>

#include <iostream>
#include <memory>
#include <string>

#include "Common.h"
#include "Converter.h"
#include "Dispatcher.h"
#include "FixClient.h"
#include "FixConfig.h"
#include "Log.h"
#include "MsgQueue.h"
#include "Mutex.h"
#include "Options.h"
#include "Session.h"
#include "Shm.h"
#include "Socket.h"
#include "Syslog.h"

namespace {

constexpr int exitFailure = 1;
constexpr int exitLogonFailed = 2;

// Options in the case and with the defaults the program uses; the manual's synopsis says the same.
const char* const usage =
    "Usage: gateconnect shm site remoteAddress servicePort [-i c.1] [-o c.0] [-r Y]\n";

// Runs the session; `why` says why it ended.
int run(Options& options, int port, Syslog& slog, std::string& why) {
    std::string shmName = options.getArgument(1);
    std::string site = options.getArgument(2);
    std::string address = options.getArgument(3);
    std::string portText = options.getArgument(4);

    Shm shm(shmName);
    slog.printlog("Shared Memory [" + shmName + "] was attached.", Normal);

    std::string outName = options.is_present('o') ? options.getOption('o') : "c.0";
    MsgQueue mqOut(outName, 0, 0);
    slog.printlog("MsgQueue [" + outName + "] was attached.", Normal);

    std::string inName = options.is_present('i') ? options.getOption('i') : "c.1";

    // A data dictionary that cannot be read, or a site configured for the acceptor, ends the
    // program before it connects; any other fault of the configuration is reported where it
    // always was, once connected.
    std::unique_ptr<FixConfig> checked;
    try {
        checked = std::make_unique<FixConfig>(site);
    } catch (const DictionaryRefused&) {
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

    Socket sock(address, port);
    slog.printlog(
        "Socket connection with remote host [" + address + ":" + portText + "] was established.",
        Normal);

    Mutex mutex;
    FixClient client(sock, site);
    client.Setup(shm, mutex, mqOut, inName);
    client.askReset(options.getOption('r') == "Y");
    int result = client.Client();
    why = client.endReason();
    if (result == FixClient::LogonFailed) return exitLogonFailed;
    return result == 0 ? 0 : exitFailure;
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
    // -r takes Y (a Logon with ResetSeqNumFlag) or N (the default); anything else is a typo.
    bool resetValid =
        !options.is_present('r') || options.getOption('r') == "Y" || options.getOption('r') == "N";
    if (options.getCount() < 5 || port == 0 || !resetValid) {
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
        status = run(options, port, slog, why);
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
