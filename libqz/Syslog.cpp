#include "Syslog.h"

#include <iostream>

#include "Time.h"

Syslog::Syslog(int level) : level(level) {}

void Syslog::version(const std::string& program) {
    std::string banner = " Velmora v3.0\n \n Program: " + program + "\n";
    std::cout.write(banner.data(), static_cast<std::streamsize>(banner.size()));
    std::cout.flush();
}

void Syslog::printlog(const std::string& message, int level) {
    if (level < this->level) return;
    Time now;
    std::string line = now.getLogTime();
    line.reserve(line.size() + message.size() + 2);
    line += ' ';
    line += message;
    line += '\n';
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cout.flush();
}
