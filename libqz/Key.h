// Turns the short name of a System V object ("c.0", "4660") into its IPC key, so separately
// started programs given the same name meet on the same table or queue.
// Thread contract: immutable after construction; safe to share.
#pragma once

#include <string>

class Key {
  public:
    explicit Key(const std::string& name);

    // All-digit names are decimal keys; any other name packs its first four characters, each as
    // a signed byte, into the key ("AB" gives 0x4142, "c.0" gives 0x632E30).
    int get_ipc_key() const;
    // True when every character is '0'-'9' (and there is at least one).
    bool is_digit_str() const;

  private:
    std::string key;
};
