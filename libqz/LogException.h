// LogException: a log, sequence file or state file under fix_home that cannot be opened or
// written. Here rather than beside Log so that the state files of this library throw it too.
// Thread contract: a plain value.
#pragma once

#include <exception>
#include <string>

class LogException : public std::exception {
  public:
    explicit LogException(const std::string& msg) : message(msg) {}
    const char* what() const noexcept override { return message.c_str(); }

  private:
    std::string message;
};
