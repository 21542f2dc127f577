// The Debian package as CPack builds it from the build folder: its files, its control fields and
// lintian's verdict (errors fail; warnings are printed for the reader); and its life on a scratch
// root: installed with dpkg --root, configured from its own examples, the units' commands run as
// the units' user, orders traded, upgraded while trading, removed and purged, with what stays and
// what goes checked against what the README promises. That run happens in a private IPC namespace,
// so the example names are private and every object it makes ends with the namespace.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Process.h"
#include "TempHome.h"
#include "TestUtil.h"

namespace {

using namespace std::chrono_literals;
using Args = std::vector<std::string>;

// Built once for every test here; empty when CPack failed (its output in debError).
std::string debError;
const std::string& deb() {
    static std::unique_ptr<TempHome> home;
    static std::string path;
    if (home) return path;
    home = std::make_unique<TempHome>();
    ProcessOptions options;
    options.cwd = home->root();
    options.timeout = 60000ms;
    ProcessResult cpack =
        runProgram(FIXGATE_CPACK,
                   {"-G", "DEB", "--config", std::string(FIXGATE_BUILD_DIR) + "/CPackConfig.cmake",
                    "-B", home->root()},
                   options);
    if (cpack.exitCode == 0) path = home->root() + "/fixgate_0.1.0_amd64.deb";
    debError = cpack.out + cpack.err;
    return path;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool executable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(Package, DebHoldsTheProgramsPagesUnitsAndDependenciesAndPassesLintian) {
    // Sanitizer builds link runtimes no machine the package goes to has; packaging them proves
    // nothing the plain build does not.
    if (std::string(FIXGATE_SANITIZE) != "") GTEST_SKIP() << "packaged from the plain build only";
    ASSERT_NE(deb(), "") << debError;

    ProcessResult info = runProgram("/usr/bin/dpkg-deb", {"-I", deb()});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    for (const char* field : {" Package: fixgate\n", " Version: 0.1.0\n", " Section: net\n",
                              "systemd", "libc6 (>=", "libstdc++6 (>=", "libncurses6 (>=",
                              "libxml2", " conffiles", " postinst", " prerm", " postrm"})
        EXPECT_NE(info.out.find(field), std::string::npos) << field << "\n" << info.out;

    ProcessResult contents = runProgram("/usr/bin/dpkg-deb", {"-c", deb()});
    ASSERT_EQ(contents.exitCode, 0) << contents.err;
    for (const char* path : {" ./usr/bin/gateconnect\n",
                             " ./usr/bin/gatelisten\n",
                             " ./usr/bin/siteload\n",
                             " ./usr/bin/tablemake\n",
                             " ./usr/bin/queuemake\n",
                             " ./usr/bin/renumber\n",
                             " ./usr/bin/sitewatch\n",
                             " ./usr/bin/scriptfeed\n",
                             " ./usr/bin/qdrain\n",
                             " ./usr/share/man/man1/gatelisten.1.gz\n",
                             " ./usr/share/man/man5/fixgate-sitecfg.5.gz\n",
                             " ./usr/share/man/man7/fixgate.7.gz\n",
                             " ./lib/systemd/system/fixgate-connect@.service\n",
                             " ./etc/fixgate/fixgate.env\n",
                             " ./usr/share/doc/fixgate/copyright\n",
                             " ./usr/share/doc/fixgate/changelog.gz\n",
                             " ./usr/share/doc/fixgate/examples/stunnel/acceptor.conf\n",
                             " ./usr/share/doc/fixgate/examples/orders.txt\n",
                             " ./usr/lib/fixgate/orderfill\n",
                             " ./usr/lib/fixgate/fixgate-logs\n",
                             " ./usr/lib/sysctl.d/50-fixgate.conf\n",
                             " ./usr/lib/sysusers.d/fixgate.conf\n",
                             " ./usr/lib/tmpfiles.d/fixgate.conf\n",
                             " ./usr/share/fixgate/dict/FIX44.xml\n",
                             " ./usr/share/fixgate/dict/FIX43.xml\n",
                             " ./usr/share/fixgate/dict/FIX42.xml\n"})
        EXPECT_NE(contents.out.find(path), std::string::npos) << path;
    // orderfill is an example for smoke tests, off the PATH; the other demo program stays out.
    EXPECT_EQ(count(contents.out, "orderfill"), 2u) << "orderfill and its source, once each";
    EXPECT_EQ(contents.out.find("sitecounters"), std::string::npos) << "demo programs stay out";
    EXPECT_EQ(contents.out.find("_test"), std::string::npos) << "tests stay out";

    ProcessOptions options;
    options.timeout = 60000ms;
    ProcessResult lintian =
        runProgram("/usr/bin/lintian", {"--tag-display-limit", "0", deb()}, options);
    std::istringstream lines(lintian.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(line.compare(0, 3, "E: "), 0) << line;
        if (line.compare(0, 3, "W: ") == 0) std::cout << "lintian: " << line << "\n";
    }
    EXPECT_TRUE(lintian.exited && lintian.exitCode == 0) << lintian.out << lintian.err;
}

// The scratch root, the commands that act on it, and the namespace they act in.
class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(FIXGATE_SANITIZE) != "")
            GTEST_SKIP() << "packaged from the plain build only";
        if (::geteuid() != 0) GTEST_SKIP() << "the install sets owners: run as root";
        for (const char* tool :
             {"/usr/bin/dpkg", "/usr/bin/unshare", "/usr/bin/nsenter", "/usr/bin/setpriv",
              "/usr/bin/systemd-sysusers", "/usr/bin/systemd-tmpfiles", "/usr/bin/ipcs"})
            if (!executable(tool)) GTEST_SKIP() << tool << " is missing";
        holder = std::make_unique<BackgroundProcess>("/usr/bin/unshare",
                                                     Args{"--ipc", "/bin/sleep", "300"});
        std::string own = readLink("/proc/self/ns/ipc");
        ns = "/proc/" + std::to_string(holder->pid()) + "/ns/ipc";
        if (!waitUntil([&] { return !readLink(ns).empty() && readLink(ns) != own; }, 5000))
            GTEST_SKIP() << "no private IPC namespace here: " << holder->errors();
        ASSERT_NE(deb(), "") << debError;

        // Other users walk into the scratch root, as they would into /.
        ASSERT_EQ(::chmod(home.root().c_str(), 0755), 0);
        root = home.root() + "/root";
        stubs = home.root() + "/stubs";
        calls = home.root() + "/calls";
        ASSERT_EQ(sh("mkdir -p " + root + "/var/lib/dpkg/info " + root + "/var/lib/dpkg/updates " +
                     root + "/var/log " + root + "/run/systemd/system " + stubs + " && touch " +
                     root + "/var/lib/dpkg/status")
                      .exitCode,
                  0);
        // systemd is "running" in the scratch root; its commands only say what they were asked.
        home.writeFile("stubs/systemctl",
                       "#!/bin/sh\necho \"systemctl $*\" >>" + calls +
                           "\ncase \"$*\" in *list-units*) echo "
                           "'fixgate-connect@SELLSIDE.service loaded active running x';; esac\n");
        home.writeFile("stubs/deb-systemd-invoke",
                       "#!/bin/sh\necho \"deb-systemd-invoke $*\" >>" + calls + "\n");
        ASSERT_EQ(sh("chmod 755 " + stubs + "/*").exitCode, 0);
    }

    static std::string readLink(const std::string& path) {
        char buf[256];
        ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    }
    static ProcessResult sh(const std::string& command) {
        return runProgram("/bin/sh", {"-c", command});
    }
    Args inNs(const Args& command) const {
        Args args = {"--ipc=" + ns};
        args.insert(args.end(), command.begin(), command.end());
        return args;
    }
    // The command in the namespace as uid:gid with the units' UMask=0027.
    Args asUser(int uid, int gid, const Args& command) const {
        Args args = {"-c",
                     "umask 0027 && exec \"$@\"",
                     "sh",
                     "/usr/bin/nsenter",
                     "--ipc=" + ns,
                     "/usr/bin/setpriv",
                     "--reuid=" + std::to_string(uid),
                     "--regid=" + std::to_string(gid),
                     "--clear-groups",
                     "--"};
        args.insert(args.end(), command.begin(), command.end());
        return args;
    }
    ProcessResult dpkg(const Args& action) const {
        Args args = {"/usr/bin/dpkg", "--root=" + root, "--force-script-chrootless",
                     "--force-depends"};
        args.insert(args.end(), action.begin(), action.end());
        ProcessOptions options;
        // The namespace is the scratch root's own, so its purge may remove the objects in it.
        options.env = {{"PATH", stubs + ":/usr/sbin:/usr/bin:/sbin:/bin"},
                       {"FIXGATE_PURGE_IPC", "yes"}};
        options.timeout = 30000ms;
        std::ofstream(calls, std::ios::trunc).flush();
        return runProgram("/usr/bin/nsenter", inNs(args), options);
    }
    std::string ipcs() const { return runProgram("/usr/bin/nsenter", inNs({"ipcs"})).out; }
    bool exists(const std::string& path) const {
        struct stat st;
        return ::lstat((root + path).c_str(), &st) == 0;
    }
    std::string rooted(const std::string& word) const {
        return !word.empty() && word[0] == '/' ? root + word : word;
    }

    // A unit's commands as systemd would run them, with the scratch root's paths.
    struct Unit {
        std::vector<Args> pre, start;
        ProcessOptions options;
    };
    Unit unit(const std::string& name, const std::string& instance = "") const {
        std::map<std::string, std::string> vars;
        Unit u;
        std::istringstream lines(readAll(root + "/lib/systemd/system/" + name));
        for (std::string line; std::getline(lines, line);) {
            for (std::size_t at; (at = line.find("%i")) != std::string::npos;)
                line.replace(at, 2, instance);
            std::size_t eq = line.find('=');
            if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
            std::string key = line.substr(0, eq), value = line.substr(eq + 1);
            if (key == "EnvironmentFile") {
                std::istringstream env(readAll(root + value));
                for (std::string v; std::getline(env, v);)
                    if (!v.empty() && v[0] != '#' && v.find('=') != std::string::npos)
                        vars[v.substr(0, v.find('='))] = rooted(v.substr(v.find('=') + 1));
            } else if (key == "Environment") {
                u.options.env.emplace_back(value.substr(0, value.find('=')),
                                           rooted(value.substr(value.find('=') + 1)));
            } else if (key == "WorkingDirectory") {
                u.options.cwd = rooted(value);
            } else if (key == "ExecStart" || key == "ExecStartPre") {
                Args words;
                std::istringstream split(value);
                for (std::string w; split >> w;)
                    words.push_back(w.size() > 3 && w.compare(0, 2, "${") == 0
                                        ? vars[w.substr(2, w.size() - 3)]
                                        : rooted(w));
                (key == "ExecStart" ? u.start : u.pre).push_back(words);
            }
        }
        return u;
    }

    TempHome home;
    std::unique_ptr<BackgroundProcess> holder;  // keeps the namespace; ending it frees every object
    std::string ns, root, stubs, calls;
};

TEST_F(Lifecycle, InstallConfigureTradeUpgradeRemoveAndPurgeKeepTheLogs) {
    // Install: the user and group, the folders with their owners, systemd told.
    ProcessResult install = dpkg({"-i", deb()});
    ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
    EXPECT_NE(readAll(calls).find("systemctl --system daemon-reload"), std::string::npos);
    int uid = -1, gid = -1;
    std::istringstream passwd(readAll(root + "/etc/passwd"));
    for (std::string line; std::getline(passwd, line);)
        if (line.compare(0, 10, "fixgate:x:") == 0)
            std::sscanf(line.c_str() + 10, "%d:%d", &uid, &gid);
    ASSERT_GT(uid, 0) << "no system user fixgate";
    EXPECT_NE(readAll(root + "/etc/group").find("fixgate:x:" + std::to_string(gid)),
              std::string::npos);
    struct Owned {
        const char* path;
        int uid, gid;
        mode_t mode;
    };
    for (const Owned& o :
         {Owned{"/var/lib/fixgate/logs", uid, gid, 0750}, Owned{"/etc/fixgate/cfg", 0, gid, 0750},
          Owned{"/etc/fixgate/connect", 0, gid, 0750}}) {
        struct stat st {};
        ASSERT_EQ(::stat((root + o.path).c_str(), &st), 0) << o.path;
        EXPECT_EQ(static_cast<int>(st.st_uid), o.uid) << o.path;
        EXPECT_EQ(static_cast<int>(st.st_gid), o.gid) << o.path;
        EXPECT_EQ(st.st_mode & 07777, o.mode) << o.path;
    }

    // Configure from the examples: both roles on this machine, the initiator calling the acceptor.
    int port = freePort();
    const std::string examples = root + "/usr/share/doc/fixgate/examples";
    ASSERT_EQ(sh("cp " + examples + "/sites.txt " + root + "/etc/fixgate/ && cp " + examples +
                 "/acceptor/cfg/BUYSIDE.fix " + examples + "/initiator/cfg/SELLSIDE.fix " + root +
                 "/etc/fixgate/cfg/ && sed 's/^FIXGATE_REMOTE_PORT=.*/FIXGATE_REMOTE_PORT=" +
                 std::to_string(port) + "/' " + examples + "/systemd/connect-SELLSIDE.env >" +
                 root + "/etc/fixgate/connect/SELLSIDE.env && sed -i " +
                 "'s/^FIXGATE_LISTEN_PORT=.*/FIXGATE_LISTEN_PORT=" + std::to_string(port) + "/' " +
                 root + "/etc/fixgate/fixgate.env && mkdir -p " + root +
                 "/etc/systemd/system/multi-user.target.wants && ln -s " +
                 "/lib/systemd/system/fixgate-listen.service " + root +
                 "/etc/systemd/system/multi-user.target.wants/ && mkdir -p " + root +
                 "/var/lib/prometheus/node-exporter && ln -s /run/fixgate-metrics/fixgate.prom " +
                 root + "/var/lib/prometheus/node-exporter/")
                  .exitCode,
              0);

    // Boot: the package's sysctl.d file, then the setup unit as its user.
    std::string sysctl = readAll(root + "/usr/lib/sysctl.d/50-fixgate.conf");
    ASSERT_NE(sysctl.find("\nkernel.msgmnb = 4194304\n"), std::string::npos) << sysctl;
    ASSERT_EQ(runProgram("/usr/bin/nsenter",
                         inNs({"/bin/sh", "-c", "echo 4194304 >/proc/sys/kernel/msgmnb"}))
                  .exitCode,
              0);
    Unit setup = unit("fixgate-setup.service");
    ASSERT_EQ(setup.start.size(), 6u);
    for (const Args& command : setup.start) {
        ProcessResult r = runProgram("/bin/sh", asUser(uid, gid, command), setup.options);
        EXPECT_EQ(r.exitCode, 0) << command[0] << r.out << r.err;
        EXPECT_EQ(r.err, "") << command[0];
    }
    // Every queue has the byte limit the README promises and the group fixgate.
    struct Named {
        const char* name;
        const char* key;
    };
    const std::vector<Named> queues = {
        {"s.1", "0x00732e31"}, {"s.0", "0x00732e30"}, {"c.1", "0x00632e31"}, {"c.0", "0x00632e30"}};
    const std::string tableKey = "0x66697867";  // "fixgate"
    std::string listed = runProgram("/usr/bin/nsenter", inNs({"ipcs", "-q"})).out;
    for (const Named& q : queues) {
        std::size_t at = listed.find(q.key);
        ASSERT_NE(at, std::string::npos) << q.name << "\n" << listed;
        std::string id = listed.substr(at + 11, listed.find(' ', at + 11) - at - 11);
        std::string detail = runProgram("/usr/bin/nsenter", inNs({"ipcs", "-q", "-i", id})).out;
        EXPECT_NE(detail.find("qbytes=4194304"), std::string::npos) << q.name << detail;
        EXPECT_NE(detail.find("\tgid=" + std::to_string(gid) + "\t"), std::string::npos)
            << q.name << detail;
    }

    // Trade: both gateways from their units, applications as another user in the group.
    Unit listen = unit("fixgate-listen.service");
    ASSERT_EQ(listen.start.size(), 1u);
    BackgroundProcess gatelisten("/bin/sh", asUser(uid, gid, listen.start[0]), listen.options);
    ASSERT_TRUE(gatelisten.waitForOutput("Socket service [" + std::to_string(port), 10000ms))
        << gatelisten.output() << gatelisten.errors();
    Unit connect = unit("fixgate-connect@.service", "SELLSIDE");
    ASSERT_EQ(connect.pre.size(), 1u);
    ASSERT_EQ(runProgram("/bin/sh", asUser(uid, gid, connect.pre[0]), connect.options).exitCode, 0);
    BackgroundProcess gateconnect("/bin/sh", asUser(uid, gid, connect.start.at(0)),
                                  connect.options);
    ASSERT_TRUE(gateconnect.waitForOutput("<-LOGON>", 15000ms))
        << gateconnect.output() << gateconnect.errors();
    const int app = 65534;  // nobody, trading through the group
    BackgroundProcess orderfill(
        "/bin/sh",
        asUser(app, gid, {root + "/usr/lib/fixgate/orderfill", "fixgate", "s.0", "s.1"}));
    BackgroundProcess qdrain("/bin/sh",
                             asUser(app, gid, {root + "/usr/bin/qdrain", "fixgate", "c.0"}));
    ProcessResult feed =
        runProgram("/bin/sh", asUser(app, gid,
                                     {root + "/usr/bin/scriptfeed", "fixgate", "c.1", "SELLSIDE",
                                      examples + "/orders.txt"}));
    ASSERT_EQ(feed.exitCode, 0) << feed.out << feed.err;
    EXPECT_TRUE(waitUntil([&] { return count(qdrain.output(), "35=8") >= 3; }, 20000))
        << qdrain.output() << orderfill.output() << orderfill.errors();

    // Upgrade in place while trading: systemd reloads, the metrics restart, no gateway does.
    ProcessResult upgrade = dpkg({"-i", deb()});
    ASSERT_EQ(upgrade.exitCode, 0) << upgrade.out << upgrade.err;
    std::string upgraded = readAll(calls);
    EXPECT_NE(upgraded.find("try-restart fixgate-metrics.service"), std::string::npos) << upgraded;
    for (const char* untouched : {"stop", "fixgate-listen", "fixgate-connect", "fixgate-setup"})
        EXPECT_EQ(upgraded.find(untouched), std::string::npos) << untouched << "\n" << upgraded;
    EXPECT_NE(upgrade.out.find("keep the programs of version 0.1.0"), std::string::npos)
        << upgrade.out;
    EXPECT_TRUE(gatelisten.running() && gateconnect.running());

    for (BackgroundProcess* p : {&gateconnect, &gatelisten, &orderfill, &qdrain}) p->stop();
    std::string logs = sh("cd " + root + "/var/lib/fixgate/logs && ls").out;
    for (const char* log : {"SELLSIDE.out.", "SELLSIDE.in.", "BUYSIDE.out.", "BUYSIDE.in."})
        EXPECT_NE(logs.find(log), std::string::npos) << log << "\n" << logs;
    EXPECT_EQ(sh("find " + root + "/var/lib/fixgate/logs -perm /o=r").out, "")
        << "logs are not world-readable";
    std::string aLog = "/var/lib/fixgate/logs/" + nonEmptyLines(logs).at(0);

    // Remove stops every unit and keeps configuration, logs and objects; purge takes the objects,
    // the package's configuration and its links, and keeps logs, operators' files and the user.
    ProcessResult removed = dpkg({"-r", "fixgate"});
    ASSERT_EQ(removed.exitCode, 0) << removed.out << removed.err;
    std::string stopped = readAll(calls);
    for (const char* unit :
         {"stop ", "fixgate-listen.service", "fixgate-connect@SELLSIDE.service",
          "fixgate-setup.service", "fixgate-logs.timer", "systemctl --system daemon-reload"})
        EXPECT_NE(stopped.find(unit), std::string::npos) << unit << "\n" << stopped;
    std::string afterRemove = ipcs();
    for (const Named& q : queues) EXPECT_NE(afterRemove.find(q.key), std::string::npos) << q.name;

    struct Kept {
        std::string path;
        bool afterRemove, afterPurge;
    };
    const std::vector<Kept> paths = {
        {"/usr/bin/gatelisten", false, false},
        {"/usr/lib/fixgate/orderfill", false, false},
        {"/lib/systemd/system/fixgate-listen.service", false, false},
        {"/usr/lib/sysctl.d/50-fixgate.conf", false, false},
        {"/etc/fixgate/fixgate.env", true, false},
        {"/etc/systemd/system/multi-user.target.wants/fixgate-listen.service", true, false},
        {"/var/lib/prometheus/node-exporter/fixgate.prom", true, false},
        {"/etc/fixgate/cfg/BUYSIDE.fix", true, true},
        {"/etc/fixgate/connect/SELLSIDE.env", true, true},
        {aLog, true, true},
    };
    for (const Kept& k : paths)
        EXPECT_EQ(exists(k.path), k.afterRemove) << k.path << " after remove";

    ProcessResult purged = dpkg({"-P", "fixgate"});
    ASSERT_EQ(purged.exitCode, 0) << purged.out << purged.err;
    for (const Kept& k : paths) EXPECT_EQ(exists(k.path), k.afterPurge) << k.path << " after purge";
    EXPECT_NE(purged.out.find("message logs in /var/lib/fixgate/logs are kept"), std::string::npos)
        << purged.out;
    EXPECT_NE(purged.out.find("removed the queue s.1"), std::string::npos) << purged.out;
    std::string afterPurge = ipcs();
    for (const Named& q : queues) EXPECT_EQ(afterPurge.find(q.key), std::string::npos) << q.name;
    EXPECT_EQ(afterPurge.find(tableKey), std::string::npos) << "table and its locks\n"
                                                            << afterPurge;
    EXPECT_NE(readAll(root + "/etc/passwd").find("fixgate:x:"), std::string::npos);
}

}  // namespace
