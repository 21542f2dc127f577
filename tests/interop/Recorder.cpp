#include "Recorder.h"

#include <stdexcept>

Recorder::Recorder(const std::string& path) : file(std::fopen(path.c_str(), "w")) {
    if (file == nullptr) throw std::runtime_error("cannot open record file " + path);
}

Recorder::~Recorder() {
    std::fclose(file);
}

void Recorder::record(const std::string& kind, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock);
    std::string line = kind;
    if (!text.empty()) line += " " + text;
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
}
