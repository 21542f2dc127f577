// The site table in the Prometheus text exposition format, for node_exporter's textfile
// collector: per registered cell its sequence numbers, outstanding and processed counts, the
// seconds since the last message each way, its status letter as a labelled gauge and whether its
// session is logged on. Every series carries the labels table and site. A caller may add gauges
// of its own (sitewatch adds each site's schedule); the table itself knows nothing of them.
// Thread contract: plain functions without shared state; safe from any thread.
#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Shm.h"

class SiteMetrics {
  public:
    // A gauge computed outside the table: a value per site, or none to leave the site out.
    struct Extra {
        std::string name;
        std::string help;
        std::function<std::optional<long>(const std::string& site)> value;
    };

    // The exposition of every registered cell of the table (all 32 cells, not only the 16 the
    // screen shows), ages taken against now, followed by the extra gauges.
    static std::string text(Shm& shm, const std::string& table, time_t now,
                            const std::vector<Extra>& extra = {});

    // Replaces the file at path with text: written to path + ".tmp" and renamed over path, so a
    // reader sees the old file or the new one, never a part. False when any step fails (the
    // temporary file is then removed).
    static bool write(const std::string& path, const std::string& text);
};
