// The shared-memory site table: 32 cells of 80 bytes (MemoryCell.h) in one System V segment that
// every program of the suite opens by name. The segment outlives every process; destroying a Shm
// neither detaches nor removes it.
// Thread contract: no locks. Lookups only read names; each cell field has one writing party, and
// readers tolerate values that are being changed. Throws ShmException on every failure.
#pragma once

#include <sys/types.h>

#include <exception>
#include <string>

#include "MemoryCell.h"

class ShmException : public std::exception {
  public:
    explicit ShmException(const std::string& text) : message(text) {}
    virtual ~ShmException() {}
    virtual const char* what() const noexcept override { return message.c_str(); }

  private:
    std::string message;
};

class Shm {
  public:
    // Opens the table of that name, creating a zero-filled one if none exists, and attaches it.
    explicit Shm(const std::string& name);
    ~Shm() {}

    int getId() const { return shm_id; }
    // The IPC key the name gave; other objects that belong to the table (its sites' locks) use it.
    key_t getKey() const { return key; }

    // The cell holding this name, else the lowest free cell, into which the name (cut to 16
    // characters) is copied. Throws when the name is new and all 32 cells are taken.
    MemoryCell* registerName(const std::string& name);
    // The cell at index 0-31; throws for any other index.
    MemoryCell* getCell(int index);
    // The first cell whose name equals this one; throws when none does. O(32), no allocation.
    MemoryCell* getCell(const std::string& name);
    int getCellId(const std::string& name);

    // Zeroes one cell (frees it) or the whole table.
    void clearCell(int index);
    void clear();

  private:
    int findName(const std::string& name) const;

    int shm_id;
    key_t key;
    MemoryCell* memory;
};
