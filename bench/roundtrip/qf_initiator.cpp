// qf_initiator PORT DIR
//
// QuickFIX's order side: a SocketInitiator for BUYSIDE connecting to 127.0.0.1:PORT with its
// FileStore and FileLog under DIR, running the phases the orchestrator names on standard input
// (Command.h; ping-pong and window). Orders go out from the engine's own thread as each report
// arrives (after the first, or the first window, sent from main), so a round trip crosses only
// the two TCP hand-offs, as an application inside the engine would. Prints "ready" once logged on.
#include <quickfix/Application.h>
#include <quickfix/FileLog.h>
#include <quickfix/FileStore.h>
#include <quickfix/Session.h>
#include <quickfix/SessionSettings.h>
#include <quickfix/SocketInitiator.h>

#include <atomic>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>

#include "Command.h"

namespace {

class OrderSide : public FIX::Application {
  public:
    OrderSide() : trips("QF") {}

    void onCreate(const FIX::SessionID& id) override { session = id; }
    void onLogon(const FIX::SessionID&) override {
        std::lock_guard<std::mutex> guard(lock);
        loggedOn = true;
        changed.notify_all();
    }
    void onLogout(const FIX::SessionID&) override {}
    void toAdmin(FIX::Message&, const FIX::SessionID&) override {}
    void toApp(FIX::Message&, const FIX::SessionID&) noexcept override {}
    void fromAdmin(const FIX::Message&, const FIX::SessionID&) noexcept override {}
    // Wakes the waiting main thread only when the phase is over, so no report costs a hand-off.
    void fromApp(const FIX::Message& report, const FIX::SessionID&) noexcept override {
        if (report.getHeader().getField(35) != "8") return;
        bool fine = trips.answered(report.isSetField(11) ? report.getField(11) : std::string());
        if (fine) sendNext();
        if (fine && trips.answeredCount() < count) return;
        std::lock_guard<std::mutex> guard(lock);
        if (!fine) faulted = true;
        changed.notify_all();
    }

    bool waitLogon() {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(15), [&] { return loggedOn; });
    }

    void run(const Command& c) {
        trips.begin(c.count);
        count = c.count;
        next = 0;
        faulted = false;
        for (long i = 0; i < (c.verb == "window" ? c.inflight : 1); ++i) sendNext();
        std::unique_lock<std::mutex> guard(lock);
        long seen = -1;
        auto progress = std::chrono::steady_clock::now();
        while (!changed.wait_for(guard, std::chrono::milliseconds(100),
                                 [&] { return faulted || trips.answeredCount() == count; })) {
            auto now = std::chrono::steady_clock::now();
            if (trips.answeredCount() != seen) {
                seen = trips.answeredCount();
                progress = now;
            } else if (now - progress > std::chrono::seconds(stallSeconds)) {
                break;
            }
        }
        guard.unlock();
        c.answer(trips);
    }

  private:
    void sendNext() {
        long i = next++;
        if (i >= count) return;
        FIX::Message order;
        order.getHeader().setField(35, "D");
        order.setField(11, trips.clOrdId(i));
        order.setField(1, "ACCOUNT-01");
        order.setField(21, "1");
        order.setField(55, "IBM");
        order.setField(54, "1");
        order.setField(38, "100");
        order.setField(40, "2");
        order.setField(44, "101.25");
        order.setField(59, "0");
        order.setField(60, "20260101-12:00:00");
        order.setField(15, "USD");
        order.setField(100, "XNYS");
        trips.sent(i);
        FIX::Session::sendToTarget(order, session);
    }

    RoundTrips trips;
    FIX::SessionID session;
    std::atomic<long> next{0};
    std::atomic<long> count{0};
    std::mutex lock;
    std::condition_variable changed;
    bool loggedOn = false;
    bool faulted = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "Usage: qf_initiator PORT DIR" << std::endl;
        return 255;
    }
    try {
        std::string dir = argv[2];
        FIX::Dictionary defaults;
        defaults.setString("ConnectionType", "initiator");
        defaults.setString("SocketConnectHost", "127.0.0.1");
        defaults.setString("SocketConnectPort", argv[1]);
        defaults.setString("HeartBtInt", "30");
        defaults.setString("ReconnectInterval", "1");
        defaults.setString("StartTime", "00:00:00");
        defaults.setString("EndTime", "00:00:00");
        defaults.setString("UseDataDictionary", "N");
        defaults.setString("FileStorePath", dir + "/store");
        defaults.setString("FileLogPath", dir + "/log");
        FIX::SessionSettings settings;
        settings.set(defaults);
        settings.set(FIX::SessionID("FIX.4.2", "BUYSIDE", "SELLSIDE"), FIX::Dictionary());
        OrderSide side;
        FIX::FileStoreFactory store(settings);
        FIX::FileLogFactory logs(settings);
        FIX::SocketInitiator initiator(side, store, settings, logs);
        initiator.start();
        if (!side.waitLogon()) {
            std::cout << "fail no logon within 15 s" << std::endl;
            initiator.stop(true);
            return 1;
        }
        std::cout << "ready" << std::endl;
        Command c;
        while (c.read(std::cin)) {
            if (c.verb == "pingpong" || c.verb == "window") {
                side.run(c);
            } else {
                std::cout << "fail unknown command" << std::endl;
            }
        }
        initiator.stop();
    } catch (const std::exception& e) {
        std::cerr << "qf_initiator: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
