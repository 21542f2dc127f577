// qf_acceptor PORT DIR
//
// QuickFIX's side of the counterparty comparison: a SocketAcceptor for SELLSIDE on 127.0.0.1:PORT
// with its FileStore and FileLog under DIR, answering every NewOrderSingle with one
// ExecutionReport that echoes its ClOrdID (the same fields rt_fills writes). Prints "ready" once
// it listens and runs until its standard input ends.
#include <quickfix/Application.h>
#include <quickfix/FileLog.h>
#include <quickfix/FileStore.h>
#include <quickfix/Session.h>
#include <quickfix/SessionSettings.h>
#include <quickfix/SocketAcceptor.h>

#include <iostream>
#include <string>

namespace {

class Filler : public FIX::Application {
  public:
    void onCreate(const FIX::SessionID&) override {}
    void onLogon(const FIX::SessionID&) override {}
    void onLogout(const FIX::SessionID&) override {}
    void toAdmin(FIX::Message&, const FIX::SessionID&) override {}
    void toApp(FIX::Message&, const FIX::SessionID&) noexcept override {}
    void fromAdmin(const FIX::Message&, const FIX::SessionID&) noexcept override {}
    // Every field read here is present or checked, so nothing throws back into QuickFIX.
    void fromApp(const FIX::Message& order, const FIX::SessionID& session) noexcept override {
        if (order.getHeader().getField(35) != "D") return;
        std::string id = std::to_string(++fills);
        FIX::Message report;
        report.getHeader().setField(35, "8");
        report.setField(37, "O" + id);
        report.setField(17, "E" + id);
        report.setField(20, "0");
        report.setField(150, "2");
        report.setField(39, "2");
        report.setField(11, order.isSetField(11) ? order.getField(11) : std::string());
        report.setField(55, "IBM");
        report.setField(54, "1");
        report.setField(38, "100");
        report.setField(32, "100");
        report.setField(31, "101.25");
        report.setField(151, "0");
        report.setField(14, "100");
        report.setField(6, "101.25");
        FIX::Session::sendToTarget(report, session);
    }

  private:
    long fills = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "Usage: qf_acceptor PORT DIR" << std::endl;
        return 255;
    }
    try {
        std::string dir = argv[2];
        FIX::Dictionary defaults;
        defaults.setString("ConnectionType", "acceptor");
        defaults.setString("SocketAcceptPort", argv[1]);
        defaults.setString("StartTime", "00:00:00");
        defaults.setString("EndTime", "00:00:00");
        defaults.setString("UseDataDictionary", "N");
        defaults.setString("FileStorePath", dir + "/store");
        defaults.setString("FileLogPath", dir + "/log");
        FIX::SessionSettings settings;
        settings.set(defaults);
        settings.set(FIX::SessionID("FIX.4.2", "SELLSIDE", "BUYSIDE"), FIX::Dictionary());
        Filler filler;
        FIX::FileStoreFactory store(settings);
        FIX::FileLogFactory logs(settings);
        FIX::SocketAcceptor acceptor(filler, store, settings, logs);
        acceptor.start();
        std::cout << "ready" << std::endl;
        std::string line;
        while (std::getline(std::cin, line)) {
        }
        acceptor.stop();
    } catch (const std::exception& e) {
        std::cerr << "qf_acceptor: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
