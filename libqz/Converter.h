// Number/text conversion with the rules of the standard streams (leading white space skipped,
// optional sign, digits, anything after the number ignored), but without iostreams: these run on
// the FIX hot path. Stateless; safe to use from any thread. Text that does not start with a number
// reads as 0; a number beyond the range of int saturates at INT_MAX / INT_MIN, as a stream would
// store it.
#pragma once

#include <string>

class Converter {
  public:
    static std::string to_string(int n);
    static std::string to_string(long n);
    static std::string to_string(unsigned long n);
    // At most six significant digits, no trailing zeros, exponent form when very large or small
    // (1.5 gives 1.5, 1234567 gives 1.23457e+06).
    static std::string to_string(float f);
    static std::string to_string(double d);

    static int to_int(const std::string& s);
    // Same rules on the bytes [first, last); never reads outside them.
    static int to_int(const char* first, const char* last);
    static float to_float(const std::string& s);
    // A TCP port given on a command line: decimal digits only, valued 1 to 65535, leading zeros
    // allowed ("035805" is 35805). 0 for anything else (empty, blanks, signs, letters, trailing
    // text, 0 or out of range), which callers refuse.
    static int to_port(const std::string& s);
};
