// StreamNames: the subjects and streams of a site whose applications reach its gateway through
// JetStream, and the gateway's consumer. One stream per direction and site:
//   applications -> counterparty: subject "fixgate.<site>.out", stream "FIXGATE_<site>_OUT",
//     read by the gateway's durable consumer "gateway";
//   counterparty -> applications: subject "fixgate.<site>.in", stream "FIXGATE_<site>_IN",
//     published by the gateway, read by the applications' own durable consumers.
// A site kept by two gateways (one active, one standby) also has:
//   its state: subject "fixgate.<site>.state", stream "FIXGATE_<site>_STATE", written by the
//     active gateway, followed by the standby;
//   its lease: key-value bucket "FIXGATE_<site>_LEASE", key "active", naming the active gateway.
// Site names usable here hold letters, digits, '-' and '_' only: a '.', '*', '>' or blank would
// change what a subject matches, and stream names refuse them.
// Thread contract: plain functions.
#pragma once

#include <string>
#include <vector>

class StreamNames {
  public:
    static bool usable(const std::string& site);
    // Why a site cannot use JetStream, in a sentence; empty when it can.
    static std::string refusal(const std::string& site);
    static std::string outSubject(const std::string& site) { return "fixgate." + site + ".out"; }
    static std::string inSubject(const std::string& site) { return "fixgate." + site + ".in"; }
    static std::string outStream(const std::string& site) { return "FIXGATE_" + site + "_OUT"; }
    static std::string inStream(const std::string& site) { return "FIXGATE_" + site + "_IN"; }
    static constexpr const char* gatewayConsumer = "gateway";
    static std::string stateSubject(const std::string& site) {
        return "fixgate." + site + ".state";
    }
    static std::string stateStream(const std::string& site) { return "FIXGATE_" + site + "_STATE"; }
    static std::string leaseBucket(const std::string& site) { return "FIXGATE_" + site + "_LEASE"; }
    static constexpr const char* leaseKey = "active";
    // "A,B" as its names; empty, with the refusal of the first unusable name on standard error,
    // when any name is empty or cannot name a stream.
    static std::vector<std::string> siteList(const std::string& text);
};
