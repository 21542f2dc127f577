#include "QuickFixPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

QuickFixPeer::QuickFixPeer(const std::string& mode, const std::string& sender,
                           const std::string& target, int port, const std::string& dir,
                           int heartbeat, const std::vector<std::string>& extra)
    : recordPath(dir + "/qfpeer.record"), controlPath(dir + "/qfpeer.control") {
    // A record left by an earlier peer in the same folder must not be mistaken for this one's.
    std::remove(recordPath.c_str());
    std::ofstream(controlPath).flush();
    std::vector<std::string> args{mode,
                                  "--sender",
                                  sender,
                                  "--target",
                                  target,
                                  "--port",
                                  std::to_string(port),
                                  "--heartbeat",
                                  std::to_string(heartbeat),
                                  "--record",
                                  recordPath,
                                  "--control",
                                  controlPath,
                                  "--max-seconds",
                                  "120"};
    args.insert(args.end(), extra.begin(), extra.end());
    program.reset(new BackgroundProcess(QFPEER_PATH, args));
    if (!waitFor("READY", "", 1, std::chrono::milliseconds(5000)))
        throw std::runtime_error("qfpeer did not start: " + program->errors());
}

QuickFixPeer::~QuickFixPeer() {
    program->stop();
}

std::vector<std::string> QuickFixPeer::records(const std::string& kind) const {
    return records(kind, "");
}

std::vector<std::string> QuickFixPeer::records(const std::string& kind,
                                               const std::string& text) const {
    std::vector<std::string> found;
    std::istringstream lines(readAll(recordPath));
    std::string line;
    while (std::getline(lines, line)) {
        std::string payload;
        if (line == kind) {
            payload = "";
        } else if (line.compare(0, kind.size() + 1, kind + " ") == 0) {
            payload = line.substr(kind.size() + 1);
        } else {
            continue;
        }
        if (payload.find(text) != std::string::npos) found.push_back(payload);
    }
    return found;
}

bool QuickFixPeer::waitFor(const std::string& kind, const std::string& text, std::size_t count,
                           std::chrono::milliseconds limit) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        if (records(kind, text).size() >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return records(kind, text).size() >= count;
}

std::vector<std::string> QuickFixPeer::complaints() const {
    std::vector<std::string> found = records("OUT",
                                             "\x01"
                                             "35=3\x01");
    for (const std::string& m : records("OUT",
                                        "\x01"
                                        "35=j\x01"))
        found.push_back(m);
    for (const std::string& e : records("EVENT")) {
        std::string lower = e;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        if (lower.find("reject") != std::string::npos ||
            lower.find("invalid") != std::string::npos ||
            lower.find("too low") != std::string::npos)
            found.push_back(e);
    }
    return found;
}

std::string QuickFixPeer::transcript() const {
    std::string text = readAll(recordPath);
    std::replace(text.begin(), text.end(), '\x01', '|');
    return text;
}

void QuickFixPeer::command(const std::string& line) const {
    std::ofstream control(controlPath, std::ios::app);
    control << line << "\n";
}

int freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close(fd);
        throw std::runtime_error("no free port");
    }
    close(fd);
    return ntohs(address.sin_port);
}
