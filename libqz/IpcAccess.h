// Who may use a System V object of the suite (site table, queue, the table's lock set): its
// permission bits and its group. Local access is by group: objects are made owner and group
// read-write only, in the creating process's group, and the applications that may trade join
// that group. The creating tools take -m mode (octal) and -g group (name or number) to set them.
// Thread contract: a plain value; the parsers look the group up in the system's group database
// (getgrnam_r), which is safe from any thread.
#pragma once

#include <sys/types.h>

#include <string>

class Options;

struct IpcAccess {
    static constexpr int defaultMode = 0660;

    int mode = defaultMode;
    bool modeGiven = false;
    gid_t group = 0;
    bool groupGiven = false;

    // True when given by the operator: an existing object is changed only then.
    bool explicitly() const { return modeGiven || groupGiven; }

    // Octal permission bits ("660" or "0660"), no more than 0777; false otherwise.
    static bool parseMode(const std::string& text, int& mode);
    // A group name known to the system, or a numeric gid; false otherwise.
    static bool parseGroup(const std::string& text, gid_t& group);

    // The -m and -g options of a creating tool. False, with the line that says what is wrong
    // ("Invalid mode for -m: \"9\" (octal, at most 0777)." or "Unknown group for -g: \"x\"."),
    // when one of them is not valid.
    static bool fromOptions(const Options& options, IpcAccess& access, std::string& refusal);

    // The line a failed system call gives: what + " [" + name + "]: " + strerror(error).
    static std::string failure(const std::string& what, const std::string& name, int error);
};
