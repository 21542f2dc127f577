#include "Command.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

bool Command::read(std::istream& in) {
    std::string line;
    if (!std::getline(in, line)) return false;
    std::istringstream words(line);
    *this = Command();
    std::string v;
    words >> v;
    if (v == "pingpong" && words >> count >> file) verb = v;
    if (v == "window" && words >> count >> inflight) verb = v;
    if (v == "paced" && words >> rate >> seconds >> file) {
        verb = v;
        count = static_cast<long>(rate * seconds);
    }
    return true;
}

void Command::answer(const RoundTrips& trips) const {
    std::string fault = trips.fault();
    if (!fault.empty()) {
        std::cout << "fail " << verb << ": " << fault << std::endl;
        return;
    }
    if (!file.empty()) {
        std::ofstream out(file);
        for (double us : trips.latencies()) out << us << '\n';
        if (!out.flush()) {
            std::cout << "fail cannot write " << file << std::endl;
            return;
        }
    }
    std::printf("ok %ld %.6f\n", trips.answeredCount(), trips.elapsedSeconds());
    std::fflush(stdout);
}
