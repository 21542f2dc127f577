// StreamSetup: makes (or updates) the streams of a site (StreamNames) on a JetStream cluster,
// for streammake: file storage, the replica count, limits and the de-duplication window the
// operator gives; and the site's lease bucket with its lifetime. A stream that exists already is
// updated to these settings; what the servers refuse (more replicas than servers, a subject another
// stream takes, ...) comes back as NatsException with the servers' own description. Thread
// contract: plain functions.
#pragma once

#include <cstdint>
#include <string>

#include "NatsLink.h"

struct StreamSettings {
    int replicas = 1;
    // Seconds of the de-duplication window (publish ids remembered).
    long duplicateSeconds = 600;
    // Limits; 0: none.
    std::int64_t maxMessages = 0;
    std::int64_t maxBytes = 0;
    long maxAgeSeconds = 0;
};

class StreamSetup {
  public:
    // Makes or updates the stream `name` taking `subject`. Returns "created" or "updated".
    static std::string apply(NatsLink& link, const std::string& name, const std::string& subject,
                             const StreamSettings& settings);
    // Makes or updates the key-value bucket `name` of a site's lease: history 1, file storage,
    // `replicas`, values aging out after `lifetimeSeconds`. Returns "created" or "updated".
    static std::string applyLease(NatsLink& link, const std::string& name, long lifetimeSeconds,
                                  int replicas);
};
