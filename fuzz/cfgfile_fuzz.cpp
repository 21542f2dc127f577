// Loads arbitrary text as a whole site configuration file, then hands out every template and
// builds a message from each. Loading either succeeds or throws CfgException; it never hangs or
// reads outside its buffers, whatever the lines hold (long lines, missing braces, CR LF, NULs).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <list>
#include <string>

#include "Fix.h"
#include "FixConfig.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

std::string workDir;

const char markers[] = {'~', 'A', '0', '1', '2', '3', '4', '5', '*', 'D'};

}  // namespace

// The loader reads ./cfg/<site>.fix, so the fuzzer works inside a private folder of its own.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/fixgate-cfgfuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    workDir = dir;
    if (chdir(dir) != 0) std::abort();
    std::string cfg = workDir + "/cfg";
    if (mkdir(cfg.c_str(), 0700) != 0) std::abort();
    std::atexit([] {
        unlink((workDir + "/cfg/FUZZ.fix").c_str());
        rmdir((workDir + "/cfg").c_str());
        rmdir(workDir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream out("cfg/FUZZ.fix", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    FixConfig cfg;
    try {
        cfg.load("FUZZ");
    } catch (const CfgException& e) {
        std::string what = e.what();
        require(what.rfind("Malformed line", 0) == 0 || what.rfind("Malformed setting", 0) == 0);
    }
    std::list<Tag> header;
    cfg.getMsgTemplate(header, '~');
    for (char m : markers) {
        std::list<Tag> templ;
        cfg.getMsgTemplate(templ, m);
        require(templ.size() >= header.size());
        Fix fix;
        fix.build(templ, m, 1);
        fix.validate(cfg.getHeaderTagDefinition(TagBeginString), 1);
    }
    return 0;
}
