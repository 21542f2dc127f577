// Validates arbitrary bytes as an inbound message against the shipped FIX 4.2 and 4.4
// dictionaries. check() must never read outside the text, hang or throw, and it names either no
// fault or one of the SessionRejectReasons it is documented to give.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "FixConfig.h"
#include "Validator.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

std::unique_ptr<Validator> fix42, fix44;

}  // namespace

// The fuzz programs live in <build>/bin, whose ../share/fixgate/dict holds the dictionaries.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fix42 = std::make_unique<Validator>(
        Dictionary::load(FixConfig::installedDictionaries() + "/FIX42.xml"));
    fix44 = std::make_unique<Validator>(
        Dictionary::load(FixConfig::installedDictionaries() + "/FIX44.xml"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view msg(reinterpret_cast<const char*>(data), size);
    for (Validator* v : {fix42.get(), fix44.get()}) {
        Validator::Fault f = v->check(msg);
        switch (f.reason) {
            case -1:
            case 0:
            case 1:
            case 2:
            case 4:
            case 5:
            case 6:
            case 11:
            case 13:
            case 14:
            case 15:
            case 16:
                break;
            default:
                require(false);
        }
    }
    return 0;
}
