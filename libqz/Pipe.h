// An operating-system pipe that carries newline-framed texts from a gateway's dispatcher thread
// to its session thread. The reader reassembles messages in a fixed buffer and hands out those
// already buffered without a system call; readMsg makes at most one read per call.
// Thread contract: exactly one writer thread (writeMsg/writeBuf, using sendBuffer) and one reader
// thread (readMsg/readBuf, using recvBuffer); the two sides share no member. Throws PipeException.
// The pipe's owner ends it: the destructor closes both ends (unless close() already did), so the
// threads on either side must be done with it first.
#pragma once

#include <exception>
#include <string>

constexpr int blockMode = 1;
constexpr int nonBlockMode = 0;

class PipeException : public std::exception {
  public:
    explicit PipeException(const std::string& text) : message(text) {}
    virtual ~PipeException() {}
    virtual const char* what() const noexcept override { return message.c_str(); }

  private:
    std::string message;
};

class Pipe {
  public:
    static constexpr char Nl = '\n';
    static constexpr int BufferSize = 4096;
    // The longest text writeMsg accepts: with its newline it must fit the reader's buffer.
    static constexpr int maxText = BufferSize - 2;

    // Creates the pipe, both ends blocking.
    Pipe();
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // Read end blocking when mode is non-zero, non-blocking when 0; the write end stays blocking.
    void setBlockingMode(int mode);
    int getReaderId() const { return pd[0]; }
    int getWriterId() const { return pd[1]; }

    // One read of up to size bytes; 0 when a non-blocking pipe is empty or at end of file. A read
    // interrupted by a signal is made again.
    int readBuf(char* buf, int size);
    // One write; a short write is not continued. False when a signal cut short the wait for room
    // before any byte was written: the caller decides whether to write again.
    bool writeBuf(const char* buf, int len);

    // Sends msg and its newline in one write (atomic, as it fits PIPE_BUF); a full pipe makes the
    // writer wait. False, with nothing written, when a signal cut that wait short (a dispatcher
    // being stopped relies on it). Texts over maxText characters are refused.
    bool writeMsg(const std::string& msg);
    // The next whole message without its newline, or "" when none is complete yet (an empty line
    // also gives ""). A line too long for the buffer is dropped whole and counted.
    std::string readMsg();
    // A whole message is buffered: readMsg hands it out without a system call.
    bool hasMessage() const;
    // False once a read took less than it asked for: the pipe was empty then, and only a wait
    // that reports it readable says otherwise.
    bool mayHaveMore() const { return filledLastRead; }
    // Lines dropped because they did not fit the reassembly buffer.
    long droppedLines() const { return dropped; }

    // Closes both ends; later calls on them fail. Safe to call twice.
    void close();

  private:
    std::string takeMessage();
    void skipToLineEnd();

    int received;
    bool skipping;  // inside an over-long line whose start was dropped
    bool filledLastRead = true;
    long dropped;
    char recvBuffer[BufferSize];
    char sendBuffer[BufferSize];
    int pd[2];
};
