#include "TempHome.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

TempHome::TempHome() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fixhome.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary folder from " + pattern);
    dir = fs::absolute(buf.data()).string();
    std::error_code ec;
    fs::create_directory(cfgDir(), ec);
    if (!ec) fs::create_directory(logsDir(), ec);
    if (ec) {
        fs::remove_all(dir, ec);
        throw std::runtime_error("cannot create cfg/ and logs/ in " + dir);
    }
}

TempHome::~TempHome() {
    leave();
    std::error_code ec;
    fs::remove_all(dir, ec);
}

std::string TempHome::cfgPath(const std::string& site) const {
    return cfgDir() + "/" + site + ".fix";
}

std::string TempHome::writeCfg(const std::string& site, const std::string& text) const {
    return writeFile("cfg/" + site + ".fix", text);
}

std::string TempHome::writeFile(const std::string& relative, const std::string& text) const {
    std::string path = dir + "/" + relative;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

std::string TempHome::readFile(const std::string& relative) const {
    std::ifstream in(dir + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool TempHome::exists(const std::string& relative) const {
    std::error_code ec;
    return fs::exists(dir + "/" + relative, ec);
}

void TempHome::enter() {
    if (entered) return;
    savedCwd = fs::current_path().string();
    const char* home = std::getenv("FIXHOME");
    hadFixHome = home != nullptr;
    savedFixHome = hadFixHome ? home : "";
    if (::chdir(dir.c_str()) != 0) throw std::runtime_error("cannot enter " + dir);
    ::setenv("FIXHOME", dir.c_str(), 1);
    entered = true;
}

void TempHome::leave() {
    if (!entered) return;
    entered = false;
    // The folder is removed next, so the process must not stay inside it.
    if (::chdir(savedCwd.c_str()) != 0 && ::chdir("/") != 0) savedCwd.clear();
    if (hadFixHome)
        ::setenv("FIXHOME", savedFixHome.c_str(), 1);
    else
        ::unsetenv("FIXHOME");
}
