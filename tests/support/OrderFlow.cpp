#include "OrderFlow.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "FixPeer.h"

namespace orderflow {

std::string example(const std::string& relative) {
    std::ifstream in(std::string(FIXGATE_SOURCE_DIR) + "/examples/" + relative);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int fromEnvironment(const char* name, int fallback) {
    const char* text = std::getenv(name);
    int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : fallback;
}

std::string clOrdId(int k) {
    return "ORD" + std::to_string(k);
}

std::string order(const std::string& id) {
    return FixPeer::soh("35=D|11=" + id +
                        "|21=1|55=IBM|54=1|38=100|40=2|44=10|60=20260101-00:00:00|");
}

std::vector<std::string> expectedIds(int n) {
    std::vector<std::string> ids;
    for (int k = 1; k <= n; ++k) ids.push_back(clOrdId(k));
    return ids;
}

std::string difference(const std::vector<std::string>& got, const std::vector<std::string>& want) {
    std::size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    if (i == got.size() && i == want.size()) return "none";
    std::string text = std::to_string(got.size()) + " where " + std::to_string(want.size()) +
                       " were due; from position " + std::to_string(i) + ":";
    for (std::size_t k = i; k < got.size() && k < i + 8; ++k) text += " " + got[k];
    return text + (i < want.size() ? " (due: " + want[i] + ")" : "");
}

}  // namespace orderflow
