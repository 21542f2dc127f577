#include "Key.h"

#include <cstdint>
#include <cstdlib>

Key::Key(const std::string& name) : key(name) {}

bool Key::is_digit_str() const {
    if (key.empty()) return false;
    for (char c : key) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

int Key::get_ipc_key() const {
    if (is_digit_str()) {
        // Read as atol does; keys are 32-bit, so a longer number keeps its low 32 bits.
        return static_cast<int>(static_cast<uint32_t>(std::strtol(key.c_str(), nullptr, 10)));
    }
    uint32_t k = 0;
    for (size_t i = 0; i < key.size() && i < 4; ++i) {
        // A byte of 0x80 or above is sign-extended and so sets every higher bit.
        k = (k << 8) |
            static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(key[i])));
    }
    return static_cast<int>(k);
}
