// NatsLink: one connection of a program to a NATS cluster with JetStream, through Debian's NATS C
// client (libnats). Every stream of the program uses it: a gateway opens one link for all its
// sites that take their applications through JetStream, a tool one for its site.
//
// The link reconnects by itself, for ever, to any server of the list (the client library's
// reconnect, a quarter of a second between rounds) and publishes nothing meanwhile; state() says
// which way it is. Its settings come from the command line (-j) or from the environment the
// gateway's environment file sets: FIXGATE_NATS_SERVERS (comma-separated nats:// or tls://
// URLs), FIXGATE_NATS_CREDS (a credentials file), FIXGATE_NATS_CA, FIXGATE_NATS_CERT and
// FIXGATE_NATS_KEY (TLS files).
// Thread contract: the client library is thread-safe; a link may be used from any thread once
// made. Callbacks of the library run on its own threads.
#pragma once

#include <exception>
#include <string>

// Opaque types of the client library, so headers including this one need not include nats.h.
typedef struct __natsConnection natsConnection;
typedef struct __jsCtx jsCtx;
typedef struct __natsMsg natsMsg;
typedef struct jsPubAck jsPubAck;
typedef struct jsPubAckErr jsPubAckErr;
typedef struct __natsSubscription natsSubscription;

// What the servers or the client library refused, in a line for the operator.
class NatsException : public std::exception {
  public:
    explicit NatsException(std::string text) : text(std::move(text)) {}
    const char* what() const noexcept override { return text.c_str(); }

  private:
    std::string text;
};

class NatsLink {
  public:
    struct Settings {
        std::string servers;  // "nats://127.0.0.1:4222,nats://127.0.0.1:4223"
        std::string creds;
        std::string caFile, certFile, keyFile;
        // The FIXGATE_NATS_* variables; servers is empty when FIXGATE_NATS_SERVERS is unset.
        static Settings fromEnvironment();
        // The environment's settings with the servers of a command line's -j, when given.
        static Settings withServers(const std::string& servers);
    };

    // Connects to one of the servers, waiting a few seconds at most. Throws NatsException
    // "Fail to reach the NATS servers [<servers>]: <reason>" when none answers, and
    // "No NATS servers named: give -j or FIXGATE_NATS_SERVERS" when the list is empty.
    // `name` is the connection's name the servers show (program and site).
    NatsLink(const Settings& settings, const std::string& name);
    ~NatsLink();
    NatsLink(const NatsLink&) = delete;
    NatsLink& operator=(const NatsLink&) = delete;

    // "connected", "reconnecting" or "closed".
    const char* state() const;
    bool connected() const;

    // Throws NatsException when the stream is missing ("Stream <s> does not exist on the NATS
    // servers") or does not take `subject` ("Stream <s> does not take subject <subject>; it takes
    // <its subjects>"), or the servers do not answer.
    void checkStream(const std::string& stream, const std::string& subject);

    // The servers as given, for console lines.
    const std::string& servers() const { return serverList; }

    natsConnection* connection() const { return nc; }
    // A JetStream context for requests (stream and consumer information, fetches); publishers
    // make their own (StreamOutlet), since acknowledgements come back per context.
    jsCtx* jetStream() const { return js; }

  private:
    std::string serverList;
    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
};
