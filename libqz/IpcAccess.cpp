#include "IpcAccess.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Options.h"

bool IpcAccess::parseMode(const std::string& text, int& mode) {
    if (text.empty()) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '7') return false;
        value = value * 8 + (c - '0');
        // Set-id and sticky bits mean nothing to IPC objects.
        if (value > 0777) return false;
    }
    mode = value;
    return true;
}

bool IpcAccess::parseGroup(const std::string& text, gid_t& group) {
    if (text.empty()) return false;
    long size = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct group entry {};
    struct group* found = nullptr;
    // A group with a numeric name is taken by name first, as chgrp does.
    while (getgrnam_r(text.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found != nullptr) {
        group = found->gr_gid;
        return true;
    }
    if (text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long long value = std::stoull(text);
    // (gid_t)-1 means "unchanged" to the system calls, never a group.
    if (value >= static_cast<gid_t>(-1)) return false;
    group = static_cast<gid_t>(value);
    return true;
}

bool IpcAccess::fromOptions(const Options& options, IpcAccess& access, std::string& refusal) {
    if (options.is_present('m')) {
        std::string text = options.getOption('m');
        if (!parseMode(text, access.mode)) {
            refusal = "Invalid mode for -m: \"" + text + "\" (octal, at most 0777).";
            return false;
        }
        access.modeGiven = true;
    }
    if (options.is_present('g')) {
        std::string text = options.getOption('g');
        if (!parseGroup(text, access.group)) {
            refusal = "Unknown group for -g: \"" + text + "\".";
            return false;
        }
        access.groupGiven = true;
    }
    return true;
}

std::string IpcAccess::failure(const std::string& what, const std::string& name, int error) {
    return what + " [" + name + "]: " + std::strerror(error);
}
