#include "SiteMetrics.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "Converter.h"
#include "SiteRows.h"

namespace {

struct Gauge {
    const char* name;
    const char* help;
    long (*value)(const MemoryCell&, time_t now);
};

const Gauge gauges[] = {
    {"fixgate_site_in_seq", "MsgSeqNum of the last message accepted from the site.",
     [](const MemoryCell& c, time_t) { return long{c.In.seq}; }},
    {"fixgate_site_in_pending", "Inbound messages queued for the application and not yet taken.",
     [](const MemoryCell& c, time_t) { return long{c.In.pend} - c.In.proc; }},
    {"fixgate_site_in_processed", "Inbound messages the application has taken.",
     [](const MemoryCell& c, time_t) { return long{c.In.proc}; }},
    {"fixgate_site_in_idle_seconds", "Seconds since the last message from the site.",
     [](const MemoryCell& c, time_t now) { return static_cast<long>(now - c.In.last); }},
    {"fixgate_site_out_seq", "MsgSeqNum of the last message sent to the site.",
     [](const MemoryCell& c, time_t) { return long{c.Out.seq}; }},
    {"fixgate_site_out_pending", "Outbound messages queued by the application and not yet sent.",
     [](const MemoryCell& c, time_t) { return long{c.Out.pend} - c.Out.proc; }},
    {"fixgate_site_out_processed", "Outbound messages sent to the site.",
     [](const MemoryCell& c, time_t) { return long{c.Out.proc}; }},
    {"fixgate_site_out_idle_seconds", "Seconds since the last message to the site.",
     [](const MemoryCell& c, time_t now) { return static_cast<long>(now - c.Out.last); }},
    {"fixgate_site_up", "1 while the site's session is logged on (status O, H, T or R).",
     [](const MemoryCell& c, time_t) { return long{SiteRows::loggedOn(c.status)}; }},
};

const char statusLetters[] = {status_Init,    status_Online, status_Heartbeat,
                              status_TestReq, status_Resend, status_Shutdown};

// A label value in double quotes: backslash and quote escaped, other bytes kept printable.
std::string quoted(const std::string& value) {
    std::string out = "\"";
    for (char c : SiteRows::printable(value)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string header(const char* name, const char* help) {
    return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

}  // namespace

std::string SiteMetrics::text(Shm& shm, const std::string& table, time_t now,
                              const std::vector<Extra>& extra) {
    std::string labels[maxCells];
    std::string names[maxCells];
    for (int i = 0; i < maxCells; ++i) {
        const MemoryCell* cell = shm.getCell(i);
        std::size_t length = strnlen(cell->name, sizeof cell->name - 1);
        names[i].assign(cell->name, length);
        if (length > 0) labels[i] = "table=" + quoted(table) + ",site=" + quoted(names[i]);
    }
    std::string out;
    for (const Gauge& gauge : gauges) {
        out += header(gauge.name, gauge.help);
        for (int i = 0; i < maxCells; ++i) {
            if (labels[i].empty()) continue;
            out += std::string(gauge.name) + "{" + labels[i] + "} " +
                   Converter::to_string(gauge.value(*shm.getCell(i), now)) + "\n";
        }
    }
    // One series per status letter, 1 for the cell's current letter: a blank or cleared status
    // shows as 0 everywhere.
    out += header("fixgate_site_status", "1 for the site's current session status letter.");
    for (int i = 0; i < maxCells; ++i) {
        if (labels[i].empty()) continue;
        char status = shm.getCell(i)->status;
        for (char letter : statusLetters)
            out += "fixgate_site_status{" + labels[i] + ",status=\"" + letter + "\"} " +
                   (status == letter ? "1" : "0") + "\n";
    }
    for (const Extra& gauge : extra) {
        out += header(gauge.name.c_str(), gauge.help.c_str());
        for (int i = 0; i < maxCells; ++i) {
            if (labels[i].empty()) continue;
            std::optional<long> value = gauge.value(names[i]);
            if (value)
                out += gauge.name + "{" + labels[i] + "} " + Converter::to_string(*value) + "\n";
        }
    }
    return out;
}

bool SiteMetrics::write(const std::string& path, const std::string& text) {
    std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << text;
        file.close();
        if (!file) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
