#include "NatsCluster.h"

#include <nats/nats.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include "Process.h"
#include "TestUtil.h"

namespace fs = std::filesystem;

namespace {

// A cluster elects its meta leader within a few seconds; a loaded machine may take several more.
constexpr auto readyLimit = std::chrono::seconds(20);
// After every server was down, each Raft group catches up from the others first; a retried
// catch-up of a store holding thousands of messages takes longer.
constexpr auto restartLimit = std::chrono::seconds(60);
constexpr auto pollPause = std::chrono::milliseconds(100);
// A port picked free may be taken by another test before the server binds it: then once more.
constexpr int startAttempts = 3;

std::string serverProgram() {
    for (const char* path : {"/usr/sbin/nats-server", "/usr/bin/nats-server"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    return "";
}

// One connection for one question, closed again: the library would otherwise keep reconnecting.
class Probe {
  public:
    explicit Probe(const std::string& urls) {
        natsOptions* opts = nullptr;
        if (natsOptions_Create(&opts) != NATS_OK) return;
        std::vector<std::string> list;
        for (std::size_t at = 0; at <= urls.size();) {
            std::size_t comma = std::min(urls.find(',', at), urls.size());
            list.push_back(urls.substr(at, comma - at));
            at = comma + 1;
        }
        std::vector<const char*> names;
        for (const std::string& u : list) names.push_back(u.c_str());
        natsOptions_SetServers(opts, names.data(), static_cast<int>(names.size()));
        natsOptions_SetTimeout(opts, 500);
        natsOptions_SetAllowReconnect(opts, false);
        if (natsConnection_Connect(&nc, opts) == NATS_OK) {
            jsOptions jo;
            jsOptions_Init(&jo);
            jo.Wait = 2000;
            if (natsConnection_JetStream(&js, nc, &jo) != NATS_OK) js = nullptr;
        } else {
            nc = nullptr;
        }
        natsOptions_Destroy(opts);
    }
    ~Probe() {
        if (js != nullptr) jsCtx_Destroy(js);
        if (nc != nullptr) natsConnection_Destroy(nc);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    bool connected() const { return nc != nullptr; }

    bool jetStreamAnswers() const {
        if (js == nullptr) return false;
        jsAccountInfo* info = nullptr;
        jsErrCode code = static_cast<jsErrCode>(0);
        if (js_GetAccountInfo(&info, js, nullptr, &code) != NATS_OK) return false;
        jsAccountInfo_Destroy(info);
        return true;
    }

    // A stream of three replicas can be made only once the members have a meta leader and
    // every one of them takes part.
    bool threeReplicasTaken() const {
        if (js == nullptr) return false;
        static const char* subjects[] = {"natscluster.probe"};
        jsStreamConfig cfg;
        jsStreamConfig_Init(&cfg);
        cfg.Name = "NATSCLUSTER_PROBE";
        cfg.Subjects = subjects;
        cfg.SubjectsLen = 1;
        cfg.Storage = js_MemoryStorage;
        cfg.Replicas = 3;
        jsStreamInfo* info = nullptr;
        jsErrCode code = static_cast<jsErrCode>(0);
        natsStatus s = js_AddStream(&info, js, &cfg, nullptr, &code);
        if (s == NATS_OK) jsStreamInfo_Destroy(info);
        // A probe made by an earlier round whose answer came too late counts as well.
        if (s != NATS_OK && code != JSStreamNameExistErr) return false;
        return js_DeleteStream(js, cfg.Name, nullptr, &code) == NATS_OK;
    }

    // After a restart each stream answers once its own replicas have elected a leader, which
    // comes after the cluster's, and takes changes once the others have caught up with it:
    // tests then find the streams as they left them.
    bool everyStreamAnswers() const {
        if (js == nullptr) return false;
        jsStreamNamesList* names = nullptr;
        jsErrCode code = static_cast<jsErrCode>(0);
        natsStatus s = js_StreamNames(&names, js, nullptr, &code);
        if (s == NATS_NOT_FOUND) return true;
        if (s != NATS_OK) return false;
        bool all = true;
        for (int i = 0; all && i < names->Count; ++i) {
            jsStreamInfo* info = nullptr;
            if (js_GetStreamInfo(&info, js, names->List[i], nullptr, &code) != NATS_OK) {
                all = false;
                break;
            }
            all = current(info->Cluster);
            jsStreamInfo_Destroy(info);
        }
        jsStreamNamesList_Destroy(names);
        return all;
    }

  private:
    // A leader, and every other replica caught up with it.
    static bool current(const jsClusterInfo* cluster) {
        if (cluster == nullptr) return true;
        if (cluster->Leader == nullptr || *cluster->Leader == '\0') return false;
        for (int i = 0; i < cluster->ReplicasLen; ++i) {
            const jsPeerInfo* peer = cluster->Replicas[i];
            if (!peer->Current || peer->Offline) return false;
        }
        return true;
    }

    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
};

}  // namespace

struct NatsCluster::Server {
    int clientPort = 0;
    int clusterPort = 0;
    std::string config;
    std::unique_ptr<BackgroundProcess> process;
};

bool NatsCluster::available() {
    return !serverProgram().empty();
}

NatsCluster::NatsCluster(int size) {
    if (size != 1 && size != 3)
        throw std::invalid_argument("a NATS test cluster has 1 or 3 servers");
    if (!available()) throw std::runtime_error("nats-server is not installed");
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/natscluster.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary folder from " + pattern);
    folder = pattern;
    for (int i = 0; i < size; ++i) servers_.push_back(new Server);
    for (int attempt = 1;; ++attempt) {
        try {
            writeConfigs();
            startAll();
            return;
        } catch (const std::exception&) {
            bool portTaken = false;
            for (int i = 0; i < size; ++i)
                portTaken = portTaken || (servers_[i]->process && !running(i));
            stopAll();
            if (attempt < startAttempts && portTaken) {
                // A fresh start: the stores must not remember members on other ports.
                std::error_code ec;
                for (int i = 0; i < size; ++i)
                    fs::remove_all(folder + "/s" + std::to_string(i), ec);
                continue;
            }
            release();
            throw;
        }
    }
}

NatsCluster::~NatsCluster() {
    release();
}

void NatsCluster::release() {
    for (Server* s : servers_) delete s;  // the processes are killed and reaped with them
    servers_.clear();
    std::error_code ec;
    fs::remove_all(folder, ec);
}

void NatsCluster::writeConfigs() {
    std::set<int> taken;
    auto pick = [&taken]() {
        for (int tries = 0; tries < 100; ++tries) {
            int port = freePort();
            if (port > 0 && taken.insert(port).second) return port;
        }
        throw std::runtime_error("no free loopback port for a NATS server");
    };
    for (Server* s : servers_) {
        s->clientPort = pick();
        s->clusterPort = size() > 1 ? pick() : 0;
    }
    for (int i = 0; i < size(); ++i) {
        Server& s = *servers_[i];
        std::string name = "n" + std::to_string(i);
        s.config = folder + "/" + name + ".conf";
        std::ofstream out(s.config, std::ios::trunc);
        out << "server_name: " << name << "\n"
            << "listen: 127.0.0.1:" << s.clientPort << "\n"
            << "jetstream {\n  store_dir: \"" << folder << "/s" << i << "\"\n}\n";
        if (size() > 1) {
            out << "cluster {\n  name: fixgate_test\n  listen: 127.0.0.1:" << s.clusterPort
                << "\n  routes: [\n";
            for (int j = 0; j < size(); ++j) {
                if (j != i)
                    out << "    nats-route://127.0.0.1:" << servers_[j]->clusterPort << "\n";
            }
            out << "  ]\n}\n";
        }
        out.close();
        if (!out) throw std::runtime_error("cannot write " + s.config);
    }
}

std::string NatsCluster::servers() const {
    std::string list;
    for (int i = 0; i < size(); ++i) list += (i == 0 ? "" : ",") + url(i);
    return list;
}

std::string NatsCluster::url(int i) const {
    return "nats://127.0.0.1:" + std::to_string(servers_.at(i)->clientPort);
}

int NatsCluster::size() const {
    return static_cast<int>(servers_.size());
}

void NatsCluster::kill(int i) {
    Server& s = *servers_.at(i);
    if (!s.process) return;
    s.process->kill(SIGKILL);
    s.process->wait(std::chrono::seconds(10));
    s.process.reset();
}

void NatsCluster::stop(int i) {
    Server& s = *servers_.at(i);
    if (!s.process) return;
    s.process->stop(std::chrono::seconds(10));
    s.process.reset();
}

void NatsCluster::start(int i) {
    Server& s = *servers_.at(i);
    if (s.process && s.process->running()) return;
    s.process = std::make_unique<BackgroundProcess>(serverProgram(),
                                                    std::vector<std::string>{"-c", s.config});
    // Clients may connect once it listens; whether its streams are back is the caller's question.
    auto until = std::chrono::steady_clock::now() + readyLimit;
    while (!Probe(url(i)).connected()) {
        if (!s.process->running() || std::chrono::steady_clock::now() > until)
            throw std::runtime_error("nats-server " + std::to_string(i) +
                                     " does not take clients: " + s.process->errors());
        std::this_thread::sleep_for(pollPause);
    }
}

void NatsCluster::stopAll() {
    for (int i = 0; i < size(); ++i) stop(i);
}

void NatsCluster::startAll() {
    for (int i = 0; i < size(); ++i) start(i);
    awaitJetStream();
}

void NatsCluster::awaitJetStream() {
    auto until = std::chrono::steady_clock::now() + restartLimit;
    auto ready = [this](int i) { return Probe(url(i)).jetStreamAnswers(); };
    for (int i = 0; i < size(); ++i) {
        while (!ready(i)) {
            if (std::chrono::steady_clock::now() > until) throw std::runtime_error(failure(i));
            std::this_thread::sleep_for(pollPause);
        }
    }
    while (size() > 1 && !Probe(servers()).threeReplicasTaken()) {
        if (std::chrono::steady_clock::now() > until) throw std::runtime_error(failure(0));
        std::this_thread::sleep_for(pollPause);
    }
    while (!Probe(servers()).everyStreamAnswers()) {
        if (std::chrono::steady_clock::now() > until) throw std::runtime_error(failure(0));
        std::this_thread::sleep_for(pollPause);
    }
}

std::string NatsCluster::failure(int i) const {
    std::string text = "JetStream does not answer on " + url(i) + " within " +
                       std::to_string(readyLimit.count()) + " s";
    for (int j = 0; j < size(); ++j) {
        const auto& p = servers_[j]->process;
        text += "\n--- n" + std::to_string(j) + ":\n" + (p ? p->errors() : "(not running)");
    }
    return text;
}

bool NatsCluster::running(int i) const {
    const auto& p = servers_.at(i)->process;
    return p && p->running();
}
