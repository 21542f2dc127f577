// A fresh temporary installation root for one test: a private folder holding cfg/ and logs/,
// removed with everything in it when the object goes out of scope, whatever the outcome. Gateways
// in tests run with their working directory and FIXHOME both set to root().
//
//   TempHome home;
//   home.writeCfg("BRK1", "~ {8=FIX.4.2,9=,35=,49=DESK,56=BRK1,34=,52=}\n");
//   ProcessOptions o; o.cwd = home.root(); o.env = {{"FIXHOME", home.root()}};
//
// In-process code that opens "./cfg/..." or reads FIXHOME can be run inside the folder with
// enter(), which changes the working directory and FIXHOME until the object ends.
//
// Thread contract: one object per test thread; enter() changes process-wide state, so it is for
// tests that run one at a time in their process (as GoogleTest does).
#pragma once

#include <string>

class TempHome {
  public:
    // Creates the folder (under TMPDIR or /tmp) with cfg/ and logs/; throws std::runtime_error when
    // it cannot.
    TempHome();
    // Leaves the folder first if enter() was called, then removes it recursively.
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    // Absolute path of the folder, without a trailing '/'.
    const std::string& root() const { return dir; }
    std::string cfgDir() const { return dir + "/cfg"; }
    std::string logsDir() const { return dir + "/logs"; }
    // root()/cfg/<site>.fix
    std::string cfgPath(const std::string& site) const;

    // Writes (replaces) root()/cfg/<site>.fix with the given text; returns its path.
    std::string writeCfg(const std::string& site, const std::string& text) const;
    // Writes (replaces) a file given relative to root(); returns its absolute path.
    std::string writeFile(const std::string& relative, const std::string& text) const;
    // The whole content of a file given relative to root(); empty when it cannot be read.
    std::string readFile(const std::string& relative) const;
    bool exists(const std::string& relative) const;

    // Makes root() the working directory and FIXHOME until the object ends (or leave()).
    void enter();
    // Restores the working directory and FIXHOME that enter() replaced.
    void leave();

  private:
    std::string dir;
    bool entered = false;
    std::string savedCwd;
    bool hadFixHome = false;
    std::string savedFixHome;
};
