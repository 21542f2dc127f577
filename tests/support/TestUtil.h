// Small helpers shared by the process-level tests: bounded waiting, splitting program output and
// logs into lines, a free loopback port, and what /proc says about a process.
//
// Thread contract: plain functions without shared state; safe from any thread.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

// ThreadSanitizer starts a background thread of its own with a program's first thread,
// so a process that had only its main thread has one more once it has made another.
#if defined(__SANITIZE_THREAD__)
constexpr int sanitizerThreads = 1;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int sanitizerThreads = 1;
#else
constexpr int sanitizerThreads = 0;
#endif
#else
constexpr int sanitizerThreads = 0;
#endif

// Polls done() every 5 ms until it holds or limitMs milliseconds have passed; its last answer.
bool waitUntil(const std::function<bool()>& done, int limitMs);

// The lines of text (program output, a message log), without empty ones.
std::vector<std::string> nonEmptyLines(const std::string& text);

// A program's last console line without its time ("HH:MM:SS "); empty when there is none.
std::string lastLine(const std::string& out);

// An instant on the UTC clock in strftime's format, e.g. "%H:%M:%S" for a schedule's window
// or "%Y%m%d" for a period's files.
std::string utc(std::time_t at, const char* format);

// A daily schedule rule's time of day in UTC: "daily:HH:MM:SS", or with to
// "daily:HH:MM:SS-HH:MM:SS".
std::string daily(std::time_t from, std::time_t to = -1);

// A port nobody listens on right now; the caller retries if another process takes it first.
int freePort();

// "Threads:" of /proc/<pid>/status; -1 when the process is gone.
int threadCount(pid_t pid);

// Open descriptors of the process; with below, only those numbered below it (the numbers a
// descriptor limit of that size leaves). -1 when the process is gone.
int openDescriptors(pid_t pid, int below = -1);
