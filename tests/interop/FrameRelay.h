// FrameRelay: a TCP forwarder on 127.0.0.1 between two FIX engines, so a test can garble one frame
// on its way. It listens on its own port, and for each connection it accepts (one at a time) it
// connects to the back port and copies bytes both ways. Bytes in the watched direction are cut
// into frames by BodyLength and passed on whole; the first frame there that contains the armed text
// gets its CheckSum digits changed (its BodyLength stays right), once per arm().
// Thread contract: the relay runs its own thread; the public functions may be called from any
// thread. Every wait inside is bounded, and the destructor stops and joins the thread.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class FrameRelay {
  public:
    // Which way the frames to garble travel: from the connecting side to the back port, or back.
    enum class Watch { FromClient, FromBack };

    // Listens on a free loopback port (see port()) and forwards to 127.0.0.1:backPort. Throws
    // std::runtime_error when it cannot listen.
    FrameRelay(int backPort, Watch watch);
    ~FrameRelay();
    FrameRelay(const FrameRelay&) = delete;
    FrameRelay& operator=(const FrameRelay&) = delete;

    int port() const { return frontPort; }
    // The next frame in the watched direction that contains text is garbled.
    void arm(const std::string& text);
    // Frames garbled so far.
    int garbled() const { return done.load(); }

  private:
    void run();
    void serve(int client);
    // Passes whole frames of `pending` on to fd, garbling the armed one; keeps an unfinished tail.
    // False when the write fails.
    bool passFrames(std::string& pending, int fd);
    static bool writeAll(int fd, const std::string& bytes);

    int backPort;
    Watch watch;
    int listener = -1;
    int frontPort = 0;
    std::mutex lock;
    std::string armed;
    std::atomic<int> done{0};
    std::atomic<bool> stopping{false};
    std::thread worker;
};
