// qfpeer: a FIX counterparty built on QuickFIX, for the interoperability tests. It runs one
// session as acceptor or initiator: FIX.4.2 with QuickFIX's default validation and no data
// dictionary, or (--begin FIXT.1.1) FIX 5.0 SP2 over FIXT.1.1 validated against the transport
// and application dictionaries FIXT11.xml and FIX50SP2.xml of --dictionaries DIR. It fills every
// order with an ExecutionReport of the session's version, records everything in a file, and takes
// commands appended to a control file (logout, skip N, reset N [SEQ], logon-reset, testreq ID, exec
// [ClOrdID], exec-with ClOrdID TAG=VALUE, exec-without ClOrdID TAG, send TYPE TAG=VALUE..., quit).
//
// Usage: qfpeer acceptor|initiator --sender ID --target ID --port N --record FILE
//               [--host ADDR] [--heartbeat SECONDS] [--control FILE] [--store DIR]
//               [--max-seconds N] [--start HH:MM:SS --end HH:MM:SS] [--alternate ADDR:PORT]
//               [--begin FIX.4.2|FIXT.1.1 --dictionaries DIR]
// --start and --end are the session's window in UTC (default: all day). An initiator given
// --alternate tries that address after the first one, in turn, as for a gateway on two hosts.
// The message store is a file store (default: beside the record file), since QuickFIX's memory
// store cannot answer a resend request that begins at a number it never used.

#include <quickfix/FileStore.h>
#include <quickfix/Session.h>
#include <quickfix/SessionSettings.h>
#include <quickfix/SocketAcceptor.h>
#include <quickfix/SocketInitiator.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "ControlFile.h"
#include "PeerApplication.h"
#include "RecordLogFactory.h"
#include "Recorder.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

int usage() {
    std::cout << "Usage: qfpeer acceptor|initiator --sender ID --target ID --port N --record FILE"
                 " [--host ADDR] [--heartbeat SECONDS] [--control FILE] [--store DIR]"
                 " [--max-seconds N] [--start HH:MM:SS --end HH:MM:SS] [--alternate ADDR:PORT]"
                 " [--begin FIX.4.2|FIXT.1.1 --dictionaries DIR]"
              << std::endl;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    std::map<std::string, std::string> opt{{"--host", "127.0.0.1"},  {"--heartbeat", "30"},
                                           {"--max-seconds", "300"}, {"--start", "00:00:00"},
                                           {"--end", "00:00:00"},    {"--begin", "FIX.4.2"}};
    for (int i = 2; i + 1 < argc; i += 2) opt[argv[i]] = argv[i + 1];
    if ((mode != "acceptor" && mode != "initiator") || opt["--sender"].empty() ||
        opt["--target"].empty() || opt["--port"].empty() || opt["--record"].empty())
        return usage();
    const bool fixt = opt["--begin"] == "FIXT.1.1";
    if ((!fixt && opt["--begin"] != "FIX.4.2") || (fixt && opt["--dictionaries"].empty()))
        return usage();

    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);

    try {
        Recorder recorder(opt["--record"]);
        const FIX::SessionID id(opt["--begin"], opt["--sender"], opt["--target"]);

        FIX::Dictionary defaults;
        defaults.setString("ConnectionType", mode);
        defaults.setString("StartTime", opt["--start"]);
        defaults.setString("EndTime", opt["--end"]);
        if (fixt) {
            // Everything QuickFIX receives is checked against the dictionaries, so a message of
            // ours that FIX 5.0 SP2 does not allow shows as a Reject in the record.
            defaults.setString("UseDataDictionary", "Y");
            defaults.setString("DefaultApplVerID", "FIX.5.0SP2");
            defaults.setString("TransportDataDictionary", opt["--dictionaries"] + "/FIXT11.xml");
            defaults.setString("AppDataDictionary", opt["--dictionaries"] + "/FIX50SP2.xml");
        } else {
            defaults.setString("UseDataDictionary", "N");
        }
        defaults.setString("SocketReuseAddress", "Y");
        defaults.setString("ReconnectInterval", "1");
        if (mode == "acceptor") {
            defaults.setString("SocketAcceptPort", opt["--port"]);
        } else {
            defaults.setString("SocketConnectHost", opt["--host"]);
            defaults.setString("SocketConnectPort", opt["--port"]);
            defaults.setString("HeartBtInt", opt["--heartbeat"]);
            const std::string alternate = opt["--alternate"];
            const std::size_t colon = alternate.rfind(':');
            if (colon != std::string::npos) {
                defaults.setString("SocketConnectHost1", alternate.substr(0, colon));
                defaults.setString("SocketConnectPort1", alternate.substr(colon + 1));
            }
        }
        FIX::SessionSettings settings;
        settings.set(defaults);
        settings.set(id, FIX::Dictionary());

        PeerApplication application(recorder, id);
        std::string storeDir = opt["--store"];
        if (storeDir.empty()) {
            const std::string& record = opt["--record"];
            std::size_t slash = record.rfind('/');
            storeDir = (slash == std::string::npos ? std::string(".") : record.substr(0, slash)) +
                       "/qfstore";
        }
        FIX::FileStoreFactory store(storeDir);
        RecordLogFactory logs(recorder);
        std::unique_ptr<FIX::Acceptor> acceptor;
        std::unique_ptr<FIX::Initiator> initiator;
        if (mode == "acceptor") {
            acceptor.reset(new FIX::SocketAcceptor(application, store, settings, logs));
            acceptor->start();
        } else {
            initiator.reset(new FIX::SocketInitiator(application, store, settings, logs));
            initiator->start();
        }
        recorder.record("READY", mode + " " + opt["--port"]);

        ControlFile control(opt["--control"]);
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::seconds(std::stoi(opt["--max-seconds"]));
        bool quit = false;
        while (!quit && !stopRequested && std::chrono::steady_clock::now() < deadline) {
            for (const std::string& line : control.poll()) {
                if (line == "quit") quit = true;
                if (!quit) application.command(line);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }

        recorder.record("STOP");
        if (acceptor) acceptor->stop(true);
        if (initiator) initiator->stop(true);
    } catch (const std::exception& e) {
        std::cerr << "qfpeer: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
