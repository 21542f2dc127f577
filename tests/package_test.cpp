// The Debian package as CPack builds it from the build folder: its files, its control fields and
// lintian's verdict (errors fail; warnings are printed for the reader); and its life on a scratch
// root, in a private IPC namespace: installed, configured from its examples, the units' commands
// run as their user, orders traded, upgraded while trading, removed and purged, checked against
// what the README promises.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/msg.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "Process.h"
#include "TempHome.h"
#include "TestUtil.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Args = std::vector<std::string>;

// Built once for every test here; empty when CPack failed (its output in debError).
std::string debError;
const std::string& deb() {
    static TempHome home;
    static const std::string path = [] {
        ProcessOptions options;
        options.cwd = home.root();
        options.timeout = 60000ms;
        ProcessResult cpack =
            runProgram(FIXGATE_CPACK,
                       {"-G", "DEB", "--config",
                        std::string(FIXGATE_BUILD_DIR) + "/CPackConfig.cmake", "-B", home.root()},
                       options);
        debError = cpack.out + cpack.err;
        return cpack.exitCode == 0 ? home.root() + "/fixgate_0.1.0_amd64.deb" : "";
    }();
    return path;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) ++n;
    return n;
}

// Each part is in the text, or with present false, none is.
void expectHas(const std::string& text, const Args& parts, bool present = true) {
    for (const std::string& part : parts)
        EXPECT_EQ(text.find(part) != std::string::npos, present) << part << "\n" << text;
}

TEST(Package, DebHoldsTheProgramsPagesUnitsAndDependenciesAndPassesLintian) {
    // Sanitizer builds link runtimes no machine the package goes to has; packaging them proves
    // nothing the plain build does not.
    if (std::string(FIXGATE_SANITIZE) != "") GTEST_SKIP() << "packaged from the plain build only";
    ASSERT_NE(deb(), "") << debError;

    ProcessResult info = runProgram("/usr/bin/dpkg-deb", {"-I", deb()});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    expectHas(info.out, {" Package: fixgate\n", " Version: 0.1.0\n", " Section: net\n", "systemd",
                         "libc6 (>=", "libstdc++6 (>=", "libncurses6 (>=", "libxml2", "libcctz2",
                         "tzdata", "libnats3.4", " Recommends: nats-server\n", " conffiles",
                         " postinst", " prerm", " postrm"});

    ProcessResult contents = runProgram("/usr/bin/dpkg-deb", {"-c", deb()});
    ASSERT_EQ(contents.exitCode, 0) << contents.err;
    std::istringstream paths(
        "usr/bin/gateconnect usr/bin/gatelisten usr/bin/siteload usr/bin/tablemake "
        "usr/bin/queuemake usr/bin/renumber usr/bin/sitewatch usr/bin/scriptfeed usr/bin/qdrain "
        "usr/bin/streammake usr/share/man/man1/streammake.1.gz "
        "usr/share/man/man1/gatelisten.1.gz usr/share/man/man5/fixgate-sitecfg.5.gz "
        "usr/share/man/man7/fixgate.7.gz lib/systemd/system/fixgate-connect@.service "
        "etc/fixgate/fixgate.env usr/share/doc/fixgate/copyright "
        "usr/share/doc/fixgate/changelog.gz usr/share/doc/fixgate/examples/stunnel/acceptor.conf "
        "usr/lib/fixgate/fixgate-logs usr/share/fixgate/dict/FIX44.xml "
        "usr/share/fixgate/dict/FIX43.xml usr/share/fixgate/dict/FIX42.xml "
        "usr/share/fixgate/dict/FIX50SP2.xml usr/share/fixgate/dict/FIXT11.xml");
    for (std::string path; paths >> path;)
        EXPECT_NE(contents.out.find(" ./" + path + "\n"), std::string::npos) << path;
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

// The scratch root, the commands that act on it, and the private IPC namespace this test runs in.
class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(FIXGATE_SANITIZE) != "")
            GTEST_SKIP() << "packaged from the plain build only";
        if (::geteuid() != 0) GTEST_SKIP() << "the install sets owners: run as root";
        for (const char* tool : {"/usr/bin/dpkg", "/usr/bin/setpriv", "/usr/bin/systemd-sysusers",
                                 "/usr/bin/systemd-tmpfiles", "/usr/bin/ipcs", "/usr/sbin/sysctl"})
            if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is missing";
        // Every program this test starts is in the namespace; leaving it frees every object.
        ownNs = ::open("/proc/self/ns/ipc", O_RDONLY | O_CLOEXEC);
        if (ownNs < 0 || ::unshare(CLONE_NEWIPC) != 0) GTEST_SKIP() << "no private IPC namespace";
        ASSERT_NE(deb(), "") << debError;

        root = home.root() + "/root";
        // systemd is "running" in the scratch root; its commands only say what they were asked.
        fs::create_directory(home.root() + "/stubs");
        home.writeFile("stubs/systemctl",
                       "#!/bin/sh\necho \"${0##*/} $*\" >>" + home.root() +
                           "/calls\ncase \"$*\" in *list-units*) echo "
                           "'fixgate-connect@SELLSIDE.service loaded active running x';; esac\n");
        // Other users walk into the scratch root, as they would into /.
        ProcessResult made = sh(
            "chmod 755 . stubs/systemctl && ln -s systemctl stubs/deb-systemd-invoke && mkdir -p "
            "root/var/lib/dpkg/info root/var/lib/dpkg/updates root/var/log root/run/systemd/system "
            "&& touch root/var/lib/dpkg/status");
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }
    void TearDown() override {
        if (ownNs < 0) return;
        EXPECT_EQ(::setns(ownNs, CLONE_NEWIPC), 0);
        ::close(ownNs);
    }

    // A shell command, in the folder holding the scratch root unless the options name another.
    ProcessResult sh(const std::string& command, ProcessOptions options = {}) const {
        if (options.cwd.empty()) options.cwd = home.root();
        return runProgram("/bin/sh", {"-c", command}, options);
    }
    // /bin/sh arguments running the command as the user and the group fixgate, with the units'
    // UMask=0027.
    Args asUser(int user, const std::string& command) const {
        return {"-c", "umask 0027 && exec /usr/bin/setpriv --reuid=" + std::to_string(user) +
                          " --regid=" + std::to_string(gid) + " --clear-groups -- " + command};
    }
    // dpkg on the scratch root; what it asked of systemd is in calls() afterwards.
    ProcessResult dpkg(const std::string& action) {
        ProcessOptions options;
        // The namespace is the scratch root's own, so its purge may remove the objects in it.
        options.env = {{"PATH", home.root() + "/stubs:/usr/sbin:/usr/bin:/sbin:/bin"},
                       {"FIXGATE_PURGE_IPC", "yes"}};
        options.timeout = 30000ms;
        home.writeFile("calls", "");
        return sh("dpkg --root=" + root + " --force-script-chrootless --force-depends " + action,
                  options);
    }
    std::string calls() const { return home.readFile("calls"); }
    std::string read(const std::string& path) const { return home.readFile("root" + path); }
    bool exists(const std::string& path) const {
        std::error_code ec;  // a link counts, wherever it points
        return fs::exists(fs::symlink_status(root + path, ec));
    }

    // KEY=VALUE lines of a unit or environment file, %i its instance and every absolute path
    // inside the scratch root.
    std::vector<std::pair<std::string, std::string>> settings(const std::string& path,
                                                              const std::string& instance) const {
        std::istringstream lines(sh("sed -n -e 's/%i/" + instance + "/g' -e 's|\\([= ]\\)/|\\1" +
                                    root + "/|g' -e '/^[A-Za-z_]*=/p' " + path)
                                     .out);
        std::vector<std::pair<std::string, std::string>> found;
        for (std::string line; std::getline(lines, line);)
            found.emplace_back(line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
        return found;
    }
    // A unit's commands as systemd would run them; the shell expands the environment's variables.
    struct Unit {
        std::vector<std::string> pre, start;
        ProcessOptions options;
    };
    Unit unit(const std::string& name, const std::string& instance = "") const {
        Unit u;
        for (const auto& [key, value] : settings(root + "/lib/systemd/system/" + name, instance)) {
            if (key == "EnvironmentFile") {
                for (const auto& setting : settings(value, "")) u.options.env.push_back(setting);
            } else if (key == "Environment") {
                u.options.env.emplace_back(value.substr(0, value.find('=')),
                                           value.substr(value.find('=') + 1));
            } else if (key == "WorkingDirectory") {
                u.options.cwd = value;
            } else if (key == "ExecStart" || key == "ExecStartPre") {
                (key == "ExecStart" ? u.start : u.pre).push_back(value);
            }
        }
        return u;
    }

    TempHome home;
    int ownNs = -1;  // the namespace this test came from
    std::string root;
    int gid = -1;
};

TEST_F(Lifecycle, InstallConfigureTradeUpgradeRemoveAndPurgeKeepTheLogs) {
    // Install: the user and group, the folders with their owners, systemd told.
    ProcessResult install = dpkg("-i " + deb());
    ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
    expectHas(calls(), {"systemctl --system daemon-reload"});
    int uid = -1;
    std::sscanf(sh("grep ^fixgate:x: root/etc/passwd | cut -d: -f3,4").out.c_str(), "%d:%d", &uid,
                &gid);
    ASSERT_GT(uid, 0) << "no system user fixgate";
    const std::string g = std::to_string(gid);
    expectHas(read("/etc/group"), {"fixgate:x:" + g + ":"});
    // The log folder is the user's, the configuration folders root's; all the group's, 0750.
    EXPECT_EQ(sh("cd root && stat -c '%u:%g %a' var/lib/fixgate/logs etc/fixgate/*/").out,
              std::to_string(uid) + ":" + g + " 750\n0:" + g + " 750\n0:" + g + " 750\n");

    // Configure from the examples: both roles on this machine, the initiator calling the acceptor.
    const std::string port = std::to_string(freePort());
    ProcessResult configured =
        sh("cd root && P=" + port + R"( && E=usr/share/doc/fixgate/examples &&
        cp $E/sites.txt etc/fixgate/ && cp $E/*/cfg/*.fix etc/fixgate/cfg/ &&
        cp $E/systemd/connect-SELLSIDE.env etc/fixgate/connect/SELLSIDE.env &&
        sed -i "s/^\(FIXGATE_[A-Z]*_PORT\)=.*/\1=$P/" etc/fixgate/*.env etc/fixgate/connect/* &&
        W=etc/systemd/system/multi-user.target.wants && mkdir -p $W &&
        ln -s /lib/systemd/system/fixgate-listen.service $W/ &&
        N=var/lib/prometheus/node-exporter && mkdir -p $N &&
        ln -s /run/fixgate-metrics/fixgate.prom $N/)");
    ASSERT_EQ(configured.exitCode, 0) << configured.err;

    // Boot: the package's sysctl.d file (queuemake, unprivileged, needs its limit), then the setup
    // unit as its user.
    ASSERT_EQ(sh("/usr/sbin/sysctl -q -p root/usr/lib/sysctl.d/50-fixgate.conf").exitCode, 0);
    Unit setup = unit("fixgate-setup.service");
    for (const std::string& command : setup.start) {
        ProcessResult r = runProgram("/bin/sh", asUser(uid, command), setup.options);
        EXPECT_EQ(r.exitCode, 0) << command << r.out << r.err;
        EXPECT_EQ(r.err, "") << command;
    }
    // Every queue (c.0 c.1 s.0 s.1) has the byte limit the README promises and the group fixgate.
    const std::vector<key_t> queues = {0x00632e30, 0x00632e31, 0x00732e30, 0x00732e31};
    for (key_t key : queues) {
        msqid_ds q{};
        ASSERT_EQ(::msgctl(::msgget(key, 0), IPC_STAT, &q), 0) << std::hex << key;
        EXPECT_EQ(std::to_string(q.msg_qbytes) + " " + std::to_string(q.msg_perm.gid),
                  "4194304 " + g)
            << std::hex << key;
    }

    // Trade: both gateways from their units, applications as another user in the group.
    Unit listen = unit("fixgate-listen.service");
    BackgroundProcess gatelisten("/bin/sh", asUser(uid, listen.start.at(0)), listen.options);
    ASSERT_TRUE(gatelisten.waitForOutput("Socket service [" + port, 10000ms))
        << gatelisten.output() << gatelisten.errors();
    Unit connect = unit("fixgate-connect@.service", "SELLSIDE");
    ASSERT_EQ(runProgram("/bin/sh", asUser(uid, connect.pre.at(0)), connect.options).exitCode, 0);
    BackgroundProcess gateconnect("/bin/sh", asUser(uid, connect.start.at(0)), connect.options);
    ASSERT_TRUE(gateconnect.waitForOutput("<-LOGON>", 15000ms))
        << gateconnect.output() << gateconnect.errors();
    const int app = 65534;  // nobody, trading through the group
    const std::string lib = root + "/usr/lib/fixgate/", bin = root + "/usr/bin/";
    BackgroundProcess orderfill("/bin/sh", asUser(app, lib + "orderfill fixgate s.0 s.1"));
    BackgroundProcess qdrain("/bin/sh", asUser(app, bin + "qdrain fixgate c.0"));
    ProcessResult feed =
        runProgram("/bin/sh", asUser(app, bin + "scriptfeed fixgate c.1 SELLSIDE " + root +
                                              "/usr/share/doc/fixgate/examples/orders.txt"));
    ASSERT_EQ(feed.exitCode, 0) << feed.out << feed.err;
    EXPECT_TRUE(waitUntil([&] { return count(qdrain.output(), "35=8") >= 3; }, 20000))
        << qdrain.output() << orderfill.output() << orderfill.errors();

    // Upgrade in place while trading: systemd reloads, the metrics restart, no gateway does.
    ProcessResult upgrade = dpkg("-i " + deb());
    ASSERT_EQ(upgrade.exitCode, 0) << upgrade.out << upgrade.err;
    expectHas(calls(), {"try-restart fixgate-metrics.service"});
    expectHas(calls(), {"stop", "fixgate-listen", "fixgate-connect", "fixgate-setup"}, false);
    expectHas(upgrade.out, {"keep the programs of version 0.1.0"});
    EXPECT_TRUE(gatelisten.running() && gateconnect.running());

    for (BackgroundProcess* p : {&gateconnect, &gatelisten, &orderfill, &qdrain}) p->stop();
    std::string logs = sh("ls root/var/lib/fixgate/logs").out;
    expectHas(logs, {"SELLSIDE.out.", "SELLSIDE.in.", "BUYSIDE.out.", "BUYSIDE.in."});
    EXPECT_EQ(sh("find root/var/lib/fixgate/logs -perm /o=r").out, "") << "logs are world-readable";
    std::string aLog = "/var/lib/fixgate/logs/" + nonEmptyLines(logs).at(0);

    // Remove stops every unit and keeps configuration, logs and objects; purge takes the objects,
    // the package's configuration and its links, and keeps logs, operators' files and the user.
    ProcessResult removed = dpkg("-r fixgate");
    ASSERT_EQ(removed.exitCode, 0) << removed.out << removed.err;
    expectHas(calls(),
              {"stop ", "fixgate-listen.service", "fixgate-connect@SELLSIDE.service",
               "fixgate-setup.service", "fixgate-logs.timer", "systemctl --system daemon-reload"});
    for (key_t key : queues) EXPECT_GE(::msgget(key, 0), 0) << std::hex << key;

    // Path, there after remove, there after purge.
    const std::vector<std::tuple<std::string, bool, bool>> paths = {
        {"/usr/bin/gatelisten", false, false},
        {"/etc/fixgate/fixgate.env", true, false},
        {"/etc/systemd/system/multi-user.target.wants/fixgate-listen.service", true, false},
        {"/var/lib/prometheus/node-exporter/fixgate.prom", true, false},
        {"/etc/fixgate/cfg/BUYSIDE.fix", true, true},
        {"/etc/fixgate/connect/SELLSIDE.env", true, true},
        {aLog, true, true},
    };
    for (const auto& [path, afterRemove, afterPurge] : paths)
        EXPECT_EQ(exists(path), afterRemove) << path << " after remove";

    ProcessResult purged = dpkg("-P fixgate");
    ASSERT_EQ(purged.exitCode, 0) << purged.out << purged.err;
    for (const auto& [path, afterRemove, afterPurge] : paths)
        EXPECT_EQ(exists(path), afterPurge) << path << " after purge";
    expectHas(purged.out, {"message logs in /var/lib/fixgate/logs are kept"});
    for (key_t key : queues) EXPECT_EQ(::msgget(key, 0), -1) << std::hex << key;
    // The site table "fixgate" and its locks.
    expectHas(sh("ipcs").out, {"0x66697867"}, false);
    expectHas(read("/etc/passwd"), {"fixgate:x:"});
}

}  // namespace
