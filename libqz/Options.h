// The command line split once into positional arguments and one-letter options with values
// (-i c.1 and -ic.1 alike; letters are case-sensitive, the last value given wins).
// Read-only after construction; safe to read from several threads.
#pragma once

#include <map>
#include <string>
#include <vector>

class Options {
  public:
    Options(int argc, char** argv);

    // Positional arguments including the program name.
    int getCount() const;
    // Positional argument i, 1 being the first after the program name; empty when i is out of
    // range.
    std::string getArgument(int i) const;

    bool is_present(char c) const;
    // The option's value; empty when it was not given or had no value.
    std::string getOption(char c) const;
    // The option's value read as a decimal number; 0 when it was not given or is not a number.
    int getOptionNum(char c) const;

  private:
    std::vector<std::string> args;
    std::map<char, std::string> options;
};
