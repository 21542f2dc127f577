#include "RecordLogFactory.h"

#include "RecordLog.h"

FIX::Log* RecordLogFactory::create() {
    return new RecordLog(recorder);
}

FIX::Log* RecordLogFactory::create(const FIX::SessionID&) {
    return new RecordLog(recorder);
}

void RecordLogFactory::destroy(FIX::Log* log) {
    delete log;
}
