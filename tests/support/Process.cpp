#include "Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Everything the child needs is prepared before fork, so the child only makes async-signal-safe
// calls (chdir, open, dup2, execve, _exit).
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const ProcessOptions& options, const std::string& dir, std::string& outPath,
            std::string& errPath) {
    std::string path = programPath(program);
    std::vector<std::string> argStore{path};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& kv : options.env) replaced = replaced || kv.first == name;
        for (const auto& u : options.unsetEnv) replaced = replaced || u == name;
        if (!replaced) envStore.push_back(entry);
    }
    for (const auto& kv : options.env) envStore.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    outPath = dir + "/stdout";
    errPath = dir + "/stderr";
    std::string inPath = dir + "/stdin";
    {
        std::ofstream in(inPath, std::ios::binary);
        in << options.input;
    }
    int inFd = open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
    int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (inFd < 0 || outFd < 0 || errFd < 0) throw std::runtime_error("cannot open child files");
    const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();

    pid_t pid = fork();
    if (pid == 0) {
        if (cwd != nullptr && chdir(cwd) != 0) _exit(126);
        if (dup2(inFd, 0) < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(inFd);
    close(outFd);
    close(errFd);
    if (pid < 0) throw std::runtime_error("fork failed");
    return pid;
}

std::string makeDir() {
    char templ[] = "/tmp/fixgate-proc-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    return templ;
}

void removeDir(const std::string& dir) {
    for (const char* f : {"/stdin", "/stdout", "/stderr"}) unlink((dir + f).c_str());
    rmdir(dir.c_str());
}

// Waits for pid within limit; returns true with its status when it ended.
bool waitFor(pid_t pid, std::chrono::milliseconds limit, int& status) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// In sanitizer builds the programs report there; any report fails the test that ran them, even
// one that only stops the program at its end.
void failOnSanitizerReport(const std::string& program, const std::string& err) {
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "WARNING: ThreadSanitizer", "runtime error:"}) {
        if (err.find(mark) != std::string::npos) {
            ADD_FAILURE() << program << " reported \"" << mark << "\":\n" << err;
            return;
        }
    }
}

}  // namespace

std::string programPath(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    return std::string(FIXGATE_BIN_DIR) + "/" + program;
}

ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
    BackgroundProcess process(program, args, options);
    return process.wait(options.timeout);
}

BackgroundProcess::BackgroundProcess(const std::string& program,
                                     const std::vector<std::string>& args,
                                     const ProcessOptions& options)
    : program(program), dir(makeDir()) {
    try {
        child = spawn(program, args, options, dir, outPath, errPath);
    } catch (...) {
        removeDir(dir);
        throw;
    }
}

BackgroundProcess::~BackgroundProcess() {
    if (!reaped) {
        ::kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        failOnSanitizerReport(program, errors());
    }
    removeDir(dir);
}

bool BackgroundProcess::running() {
    if (reaped) return false;
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
        collect(status, false);
        return false;
    }
    return true;
}

std::string BackgroundProcess::output() const {
    return readFile(outPath);
}

std::string BackgroundProcess::errors() const {
    return readFile(errPath);
}

bool BackgroundProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (output().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void BackgroundProcess::kill(int sig) {
    if (!reaped) ::kill(child, sig);
}

ProcessResult BackgroundProcess::wait(std::chrono::milliseconds limit) {
    if (reaped) return last;
    int status = 0;
    if (waitFor(child, limit, status)) return collect(status, false);
    ::kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return collect(status, true);
}

ProcessResult BackgroundProcess::stop(std::chrono::milliseconds grace) {
    if (reaped) return last;
    ::kill(child, SIGTERM);
    return wait(grace);
}

ProcessResult BackgroundProcess::collect(int status, bool timedOut) {
    reaped = true;
    last.exited = WIFEXITED(status);
    last.exitCode = last.exited ? WEXITSTATUS(status) : -1;
    last.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    last.timedOut = timedOut;
    last.out = output();
    last.err = errors();
    failOnSanitizerReport(program, last.err);
    return last;
}
