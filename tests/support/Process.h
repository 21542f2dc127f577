// Runs the suite's programs from tests. A program name without '/' is taken from the build's bin
// folder. Output goes to private temporary files (so a chatty child never blocks on a full pipe)
// and is read back as strings. Processes are only ever signalled by their own pid. A sanitizer
// report on a program's standard error fails the running test when the program is reaped.
//
//   ProcessResult r = runProgram("tablemake", {table});
//   EXPECT_EQ(r.exitCode, 0);
//
//   ProcessOptions o; o.cwd = home; o.env = {{"FIXHOME", home}};
//   BackgroundProcess gw("gatelisten", {table, "9876"}, o);
//   ...
//   ProcessResult end = gw.stop();        // SIGTERM, then SIGKILL after the grace time
//
// Thread contract: an object belongs to the test thread that made it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

struct ProcessOptions {
    std::string cwd;                                       // empty: the test's own
    std::vector<std::pair<std::string, std::string>> env;  // set (or replaced) in the child
    std::vector<std::string> unsetEnv;                     // removed from the child's environment
    std::string input;                                     // the child's standard input
    std::chrono::milliseconds timeout{20000};              // for runProgram and wait()
};

struct ProcessResult {
    bool exited = false;  // ended by exit(); exitCode holds its status (0-255)
    int exitCode = -1;
    int signal = 0;         // the signal that ended it, when it did not exit
    bool timedOut = false;  // the time limit passed and the child was killed
    std::string out;        // standard output
    std::string err;        // standard error
};

// The absolute path of a built program.
std::string programPath(const std::string& program);

// Starts the program, waits for it within options.timeout (killing it by pid when the time runs
// out) and returns how it ended and what it printed.
ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = ProcessOptions());

class BackgroundProcess {
  public:
    // Starts the program; throws std::runtime_error when it cannot be started.
    BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                      const ProcessOptions& options = ProcessOptions());
    // Kills and reaps a child still running.
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    pid_t pid() const { return child; }
    bool running();
    // What the child has printed so far.
    std::string output() const;
    std::string errors() const;
    // Polls output() until it contains text or the time passes; true when it appeared.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);

    // Sends sig to this child's pid (nothing when it has been reaped).
    void kill(int sig);
    // Waits for the child to end within limit; on timeout kills it (SIGKILL) and reports so.
    ProcessResult wait(std::chrono::milliseconds limit);
    // SIGTERM, then wait up to grace, then SIGKILL.
    ProcessResult stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

  private:
    ProcessResult collect(int status, bool timedOut);

    std::string program;
    pid_t child = -1;
    std::string dir;
    std::string outPath;
    std::string errPath;
    bool reaped = false;
    ProcessResult last;
};
