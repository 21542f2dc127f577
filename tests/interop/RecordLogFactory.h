// RecordLogFactory: hands QuickFIX one RecordLog per session (and one for global events), all
// writing into the same Recorder so the record keeps the order in which things happened.
// Thread contract: create/destroy are called by QuickFIX under its own locks.
#ifndef INTEROP_RECORDLOGFACTORY_H
#define INTEROP_RECORDLOGFACTORY_H

#include <quickfix/Log.h>

#include "Recorder.h"

class RecordLogFactory : public FIX::LogFactory {
  public:
    explicit RecordLogFactory(Recorder& recorder) : recorder(recorder) {}

    FIX::Log* create() override;
    FIX::Log* create(const FIX::SessionID&) override;
    void destroy(FIX::Log* log) override;

  private:
    Recorder& recorder;
};

#endif
