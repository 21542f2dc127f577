// streammake site [-j servers] [-r replicas] [-d seconds] [-n messages] [-b bytes] [-a seconds]
//            [-l seconds]:
// makes or updates the two JetStream streams of a site whose applications reach its gateway
// through NATS (StreamNames): file storage, -r replicas (1 by default), a de-duplication window of
// -d seconds (600 by default, long enough to cover a gateway's restart), and at most -n messages,
// -b bytes and -a seconds of age (none when absent or 0). With -l, for a site kept by an active
// and a standby gateway, also its state stream (the same settings) and its lease bucket, whose
// values age out after -l seconds (the lease's lifetime). An existing stream or bucket takes the
// settings given. The servers come from -j or FIXGATE_NATS_SERVERS; what they refuse is printed
// as they said it.
#include <cstdint>
#include <iostream>
#include <string>

#include "NatsLink.h"
#include "Options.h"
#include "StreamNames.h"
#include "StreamSetup.h"

namespace {

int usage() {
    std::cout << "Usage: streammake site [-j servers] [-r replicas] [-d seconds] [-n messages] "
                 "[-b bytes] [-a seconds] [-l seconds]"
              << std::endl
              << std::endl;
    return 255;
}

// An option's value as a decimal number from low to high; false when given and not one.
bool number(const Options& options, char c, std::int64_t low, std::int64_t high,
            std::int64_t& value) {
    if (!options.is_present(c)) return true;
    std::string text = options.getOption(c);
    if (text.empty() || text.size() > 18) return false;
    std::int64_t n = 0;
    for (char d : text) {
        if (d < '0' || d > '9') return false;
        n = n * 10 + (d - '0');
    }
    value = n;
    return n >= low && n <= high;
}

}  // namespace

int main(int argc, char** argv) {
    Options options(argc, argv);
    if (options.getCount() != 2) return usage();
    std::string site = options.getArgument(1);
    std::int64_t replicas = 1, window = 600, messages = 0, bytes = 0, age = 0, lease = 0;
    constexpr std::int64_t most = 1000000000000000000LL;
    constexpr std::int64_t mostSeconds = 9000000000LL;  // whole seconds the servers count in ns
    if (!number(options, 'r', 1, 1000, replicas) || !number(options, 'd', 1, mostSeconds, window) ||
        !number(options, 'n', 0, most, messages) || !number(options, 'b', 0, most, bytes) ||
        !number(options, 'a', 0, mostSeconds, age) || !number(options, 'l', 1, 3600, lease))
        return usage();
    std::string refusal = StreamNames::refusal(site);
    if (!refusal.empty()) {
        std::cerr << "Error: " << refusal << std::endl;
        return 1;
    }
    StreamSettings wanted;
    wanted.replicas = static_cast<int>(replicas);
    wanted.duplicateSeconds = static_cast<long>(window);
    wanted.maxMessages = messages;
    wanted.maxBytes = bytes;
    wanted.maxAgeSeconds = static_cast<long>(age);
    try {
        NatsLink link(NatsLink::Settings::withServers(options.getOption('j')),
                      "streammake " + site);
        const std::string streams[] = {StreamNames::outStream(site), StreamNames::inStream(site),
                                       StreamNames::stateStream(site)};
        const std::string subjects[] = {StreamNames::outSubject(site), StreamNames::inSubject(site),
                                        StreamNames::stateSubject(site)};
        for (int i = 0; i < (lease > 0 ? 3 : 2); ++i) {
            std::string done = StreamSetup::apply(link, streams[i], subjects[i], wanted);
            std::cout << "Stream " << streams[i] << " " << done << ": subject " << subjects[i]
                      << ", " << replicas << (replicas == 1 ? " replica" : " replicas")
                      << ", duplicate window " << window << " s." << std::endl;
        }
        if (lease > 0) {
            std::string bucket = StreamNames::leaseBucket(site);
            std::string done = StreamSetup::applyLease(link, bucket, static_cast<long>(lease),
                                                       static_cast<int>(replicas));
            std::cout << "Lease bucket " << bucket << " " << done << ": lifetime " << lease
                      << " s, " << replicas << (replicas == 1 ? " replica" : " replicas") << "."
                      << std::endl;
        }
    } catch (const NatsException& e) {
        std::cerr << "Error: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
