// The shared-memory site table: 32 cells of 80 bytes (MemoryCell.h) in one System V segment that
// every program of the suite opens by name. The segment outlives every process; destroying a Shm
// neither detaches nor removes it.
// Thread contract: no locks. Lookups only read names; each cell field has one writing party, and
// readers tolerate values that are being changed. Throws ShmException on every failure; a failed
// system call names the table and the reason ("Fail to attach the shared memory [T1]: Permission
// denied").
#pragma once

#include <sys/types.h>

#include <exception>
#include <string>

#include "IpcAccess.h"
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
    // Opens the table of that name, creating a zero-filled one if none exists (mode 0660, the
    // process's group), and attaches it.
    explicit Shm(const std::string& name);
    // As above; a table it creates gets the access given, and an existing one gets it only where
    // the access was given explicitly (which takes its owner or a privileged process).
    Shm(const std::string& name, const IpcAccess& access);
    ~Shm() {}

    int getId() const { return shm_id; }
    // The name it was opened by, for messages about it and the objects that belong to it.
    const std::string& getName() const { return tableName; }
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
    void open(const std::string& name, const IpcAccess& access);
    int findName(const std::string& name) const;

    std::string tableName;
    int shm_id;
    key_t key;
    MemoryCell* memory;
};
