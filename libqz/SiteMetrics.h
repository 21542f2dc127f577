// The site table in the Prometheus text exposition format, for node_exporter's textfile
// collector: per registered cell its sequence numbers, outstanding and processed counts, the
// seconds since the last message each way, and its status letter as a labelled gauge. Every
// series carries the labels table and site.
// Thread contract: plain functions without shared state; safe from any thread.
#pragma once

#include <ctime>
#include <string>

#include "Shm.h"

class SiteMetrics {
  public:
    // The exposition of every registered cell of the table (all 32 cells, not only the 16 the
    // screen shows), ages taken against now.
    static std::string text(Shm& shm, const std::string& table, time_t now);

    // Replaces the file at path with text: written to path + ".tmp" and renamed over path, so a
    // reader sees the old file or the new one, never a part. False when any step fails (the
    // temporary file is then removed).
    static bool write(const std::string& path, const std::string& text);
};
