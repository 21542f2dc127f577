// NatsCluster: real nats-server processes with JetStream for a test, on free loopback ports, with
// their configuration and file stores in a temporary folder that goes with the object. One server
// (a single node) or three (a cluster whose streams may have three replicas). Every server is
// started and ended by its pid; a server stopped or killed can be started again on the same
// ports and store, as an operator restarts a cluster member.
// Tests are skipped (GTEST_SKIP in the caller, via available()) where nats-server is missing.
// Thread contract: one test thread.
#pragma once

#include <string>
#include <vector>

class NatsCluster {
  public:
    // nats-server is on the machine.
    static bool available();

    // Starts `size` servers (1 or 3) and waits until JetStream answers on every one (a few
    // seconds at most); throws std::runtime_error with the servers' output when it does not.
    explicit NatsCluster(int size = 3);
    // Kills every server still running and removes the folder.
    ~NatsCluster();
    NatsCluster(const NatsCluster&) = delete;
    NatsCluster& operator=(const NatsCluster&) = delete;

    // "nats://127.0.0.1:p1,nats://127.0.0.1:p2,..." for -j and FIXGATE_NATS_SERVERS.
    std::string servers() const;
    // The client URL of server i alone.
    std::string url(int i) const;
    int size() const;

    // SIGKILL to server i (the store stays); SIGTERM and wait for its end (stop); start again.
    void kill(int i);
    void stop(int i);
    void start(int i);
    // Every server, in order; startAll waits until JetStream answers again, for every stream
    // the servers hold as well.
    void stopAll();
    void startAll();
    bool running(int i) const;
    // Waits until JetStream answers on every server and for every stream (a member started
    // again may still be catching up); throws std::runtime_error when it does not in time.
    void awaitJetStream();

  private:
    struct Server;
    // Free ports for every server and a configuration file each, routes naming the others.
    void writeConfigs();
    // Why JetStream is not ready, with every server's output.
    std::string failure(int i) const;
    // Ends the servers and removes the folder.
    void release();

    std::string folder;
    std::vector<Server*> servers_;
};
