// OrderFlow: what the order-flow tests of JetStream sites share: the shipped example files, the
// orders they publish (ClOrdID ORD<k>), counts from the environment, and where a list of ClOrdIDs
// parts from the one due, for a failure's message.
// Thread contract: plain functions.
#pragma once

#include <string>
#include <vector>

namespace orderflow {

// The text of examples/<relative> in the source tree; empty when it cannot be read.
std::string example(const std::string& relative);
// A positive number from the environment variable `name`, else `fallback`.
int fromEnvironment(const char* name, int fallback);
std::string clOrdId(int k);
// A NewOrderSingle body (SOH-separated) with ClOrdID `id`.
std::string order(const std::string& id);
// ORD1 .. ORD<n>.
std::vector<std::string> expectedIds(int n);
// "none" when the lists are equal, else where they part and what follows.
std::string difference(const std::vector<std::string>& got, const std::vector<std::string>& want);

}  // namespace orderflow
