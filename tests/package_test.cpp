// The Debian package as CPack builds it from the build folder: its files, its control fields and
// lintian's verdict (errors fail; warnings are printed for the reader).
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>

#include "Process.h"
#include "TempHome.h"

namespace {

TEST(Package, DebHoldsTheProgramsPagesUnitsAndDependenciesAndPassesLintian) {
    // Sanitizer builds link runtimes no machine the package goes to has; packaging them proves
    // nothing the plain build does not.
    if (std::string(FIXGATE_SANITIZE) != "") GTEST_SKIP() << "packaged from the plain build only";
    TempHome home;
    ProcessOptions options;
    options.cwd = home.root();
    options.timeout = std::chrono::milliseconds(60000);
    ProcessResult cpack =
        runProgram(FIXGATE_CPACK,
                   {"-G", "DEB", "--config", std::string(FIXGATE_BUILD_DIR) + "/CPackConfig.cmake",
                    "-B", home.root()},
                   options);
    ASSERT_EQ(cpack.exitCode, 0) << cpack.out << cpack.err;
    std::string deb = home.root() + "/fixgate_0.1.0_amd64.deb";

    ProcessResult info = runProgram("/usr/bin/dpkg-deb", {"-I", deb});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    for (const char* field :
         {" Package: fixgate\n", " Version: 0.1.0\n", " Section: net\n", "adduser",
          "libc6 (>=", "libstdc++6 (>=", "libncurses6 (>=", "libxml2", " conffiles", " postinst"})
        EXPECT_NE(info.out.find(field), std::string::npos) << field << "\n" << info.out;

    ProcessResult contents = runProgram("/usr/bin/dpkg-deb", {"-c", deb});
    ASSERT_EQ(contents.exitCode, 0) << contents.err;
    for (const char* path :
         {" ./usr/bin/gateconnect\n", " ./usr/bin/gatelisten\n", " ./usr/bin/siteload\n",
          " ./usr/bin/tablemake\n", " ./usr/bin/queuemake\n", " ./usr/bin/renumber\n",
          " ./usr/bin/sitewatch\n", " ./usr/bin/scriptfeed\n", " ./usr/bin/qdrain\n",
          " ./usr/share/man/man1/gatelisten.1.gz\n", " ./usr/share/man/man5/fixgate-sitecfg.5.gz\n",
          " ./lib/systemd/system/fixgate-connect@.service\n", " ./etc/fixgate/fixgate.env\n",
          " ./usr/share/doc/fixgate/copyright\n", " ./usr/share/doc/fixgate/changelog.gz\n",
          " ./usr/share/doc/fixgate/examples/stunnel/acceptor.conf\n",
          " ./usr/share/fixgate/dict/FIX44.xml\n", " ./usr/share/fixgate/dict/FIX43.xml\n",
          " ./usr/share/fixgate/dict/FIX42.xml\n"})
        EXPECT_NE(contents.out.find(path), std::string::npos) << path;
    EXPECT_EQ(contents.out.find("orderfill"), std::string::npos) << "demo programs stay out";
    EXPECT_EQ(contents.out.find("_test"), std::string::npos) << "tests stay out";

    ProcessResult lintian =
        runProgram("/usr/bin/lintian", {"--no-tag-display-limit", deb}, options);
    std::istringstream lines(lintian.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(line.compare(0, 3, "E: "), 0) << line;
        if (line.compare(0, 3, "W: ") == 0) std::cout << "lintian: " << line << "\n";
    }
    EXPECT_TRUE(lintian.exited && lintian.exitCode == 0) << lintian.out << lintian.err;
}

}  // namespace
