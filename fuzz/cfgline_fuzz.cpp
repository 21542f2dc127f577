// Parses arbitrary text as one template line of a site configuration. A line is either refused
// with CfgException, leaving the list untouched, or appended as fields that read back in the
// order the line gave them.
#include <cstdint>
#include <cstdlib>
#include <list>
#include <string>

#include "FixConfig.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The loader is handed NUL-terminated lines.
    std::string line(reinterpret_cast<const char*>(data), size);
    line = line.c_str();

    FixConfig cfg;
    std::list<Tag> fields{Tag(8, "FIX.4.2")};
    try {
        cfg.loadFixMsgDefinition(fields, line.c_str());
    } catch (const CfgException&) {
        require(fields.size() == 1);
        return 0;
    }
    // Every item stands between the braces, so no field can come from more bytes than the line.
    require(fields.size() - 1 <= line.size());
    require(fields.front().tag == 8);
    std::size_t bytes = 0;
    for (const Tag& t : fields) bytes += t.value.size();
    require(bytes - 7 <= line.size());
    return 0;
}
