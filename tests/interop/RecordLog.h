// RecordLog: a QuickFIX log that writes every message in and out, exactly as on the wire, and
// every session event into the counterparty's Recorder.
// Thread contract: QuickFIX calls it from its session threads; the Recorder serialises writes.
#ifndef INTEROP_RECORDLOG_H
#define INTEROP_RECORDLOG_H

#include <quickfix/Log.h>

#include "Recorder.h"

class RecordLog : public FIX::Log {
  public:
    explicit RecordLog(Recorder& recorder) : recorder(recorder) {}

    void clear() override {}
    void backup() override {}
    void onIncoming(const std::string& value) override { recorder.record("IN", value); }
    void onOutgoing(const std::string& value) override { recorder.record("OUT", value); }
    void onEvent(const std::string& value) override { recorder.record("EVENT", value); }

  private:
    Recorder& recorder;
};

#endif
