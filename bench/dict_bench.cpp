// Cost of validating one inbound message against a data dictionary: the 191-byte FIX 4.2
// NewOrderSingle of fix_bench against the shipped FIX42.xml, and a FIX 4.4 NewOrderSingle with a
// parties group (two entries, one with nested sub-IDs) against FIX44.xml, and a FIX 5.0 SP2 one
// over FIXT.1.1 against FIXT11.xml combined with FIX50SP2.xml. The "allocs" counter
// is the heap allocations per check, counted by a replaced operator new.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "FixConfig.h"
#include "Validator.h"

namespace {

std::atomic<long> allocations{0};

double fastest(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

std::string soh(std::string text) {
    for (char& c : text)
        if (c == '|') c = '\x01';
    return text;
}

// 8=, 9= and 10= as a sealed message has them; the validator does not check the sums.
std::string sealed(const std::string& version, const std::string& body) {
    std::string b = soh(body);
    return "8=" + version + "\x01" + "9=" + std::to_string(b.size()) + "\x01" + b + "10=000\x01";
}

std::shared_ptr<const Dictionary> shipped(const std::string& file) {
    return Dictionary::load(FixConfig::installedDictionaries() + "/" + file);
}

void run(benchmark::State& state, std::shared_ptr<const Dictionary> dict, const std::string& msg) {
    Validator v(std::move(dict));
    if (!v.check(msg).ok()) state.SkipWithError("the message does not validate");
    long before = allocations.load();
    for (auto _ : state) {
        Validator::Fault f = v.check(msg);
        benchmark::DoNotOptimize(f);
    }
    state.counters["bytes"] = static_cast<double>(msg.size());
    state.counters["allocs"] = static_cast<double>(allocations.load() - before) /
                               static_cast<double>(std::max<long>(1, state.iterations()));
}

void BM_ValidateOrder42(benchmark::State& state) {
    run(state, shipped("FIX42.xml"),
        sealed("FIX.4.2",
               "35=D|49=DESKGATEWAY01|56=BROKER01|34=123456|52=20260105-10:15:30.123|"
               "11=ORD-2026-000123456|1=ACCOUNT-0001|21=1|55=IBM|54=1|60=20260105-10:15:30|"
               "38=1000|40=2|44=123.45|59=0|"));
}
BENCHMARK(BM_ValidateOrder42)->ComputeStatistics("min", fastest);

void BM_ValidateOrder44WithGroups(benchmark::State& state) {
    run(state, shipped("FIX44.xml"),
        sealed("FIX.4.4",
               "35=D|49=DESKGATEWAY01|56=BROKER01|34=123456|52=20260105-10:15:30.123|"
               "11=ORD-2026-000123456|1=ACCOUNT-0001|453=2|448=TRADER7|447=D|452=11|802=1|"
               "523=DESK|803=1|448=BRK|447=D|452=1|21=1|55=IBM|54=1|60=20260105-10:15:30|"
               "38=1000|40=2|44=123.45|59=0|"));
}
BENCHMARK(BM_ValidateOrder44WithGroups)->ComputeStatistics("min", fastest);

// The same order in FIX 5.0 SP2 with its ApplVerID, checked as a FIXT.1.1 site checks it.
void BM_ValidateOrder50Sp2OverFixt(benchmark::State& state) {
    run(state, Dictionary::combine(*shipped("FIXT11.xml"), *shipped("FIX50SP2.xml")),
        sealed("FIXT.1.1",
               "35=D|1128=9|49=DESKGATEWAY01|56=BROKER01|34=123456|52=20260105-10:15:30.123|"
               "11=ORD-2026-000123456|1=ACCOUNT-0001|453=2|448=TRADER7|447=D|452=11|802=1|"
               "523=DESK|803=1|448=BRK|447=D|452=1|21=1|55=IBM|54=1|60=20260105-10:15:30|"
               "38=1000|40=2|44=123.45|59=0|"));
}
BENCHMARK(BM_ValidateOrder50Sp2OverFixt)->ComputeStatistics("min", fastest);

}  // namespace

void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

BENCHMARK_MAIN();
