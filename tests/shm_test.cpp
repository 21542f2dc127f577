// The IPC key rule and the shared-memory site table: layout seen through a second mapping,
// lookups by name, registration and clearing.
#include "Shm.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "Ipc.h"
#include "Key.h"
#include "SiteLock.h"

namespace {

// Maps the table a second time, independently of Shm, to look at its raw bytes.
class RawTable {
  public:
    explicit RawTable(const std::string& name) {
        int id = shmget(Key(name).get_ipc_key(), 0, 0);
        EXPECT_GE(id, 0);
        void* at = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);
        EXPECT_NE(at, reinterpret_cast<void*>(-1));
        bytes = at == reinterpret_cast<void*>(-1) ? nullptr : static_cast<unsigned char*>(at);
    }
    ~RawTable() {
        if (bytes != nullptr) shmdt(bytes);
    }
    bool ok() const { return bytes != nullptr; }
    int32_t i32(size_t offset) const {
        int32_t v;
        std::memcpy(&v, bytes + offset, sizeof v);
        return v;
    }
    int64_t i64(size_t offset) const {
        int64_t v;
        std::memcpy(&v, bytes + offset, sizeof v);
        return v;
    }
    unsigned char* bytes = nullptr;
};

size_t segmentSize(const std::string& name) {
    struct shmid_ds ds;
    int id = shmget(Key(name).get_ipc_key(), 0, 0);
    if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0) return 0;
    return ds.shm_segsz;
}

}  // namespace

TEST(KeyRule, AllDigitNamesAreDecimalKeys) {
    EXPECT_EQ(Key("4660").get_ipc_key(), 4660);
    EXPECT_EQ(Key("0012").get_ipc_key(), 12);
    EXPECT_TRUE(Key("4660").is_digit_str());
    EXPECT_FALSE(Key("12ab").is_digit_str());
    EXPECT_FALSE(Key("").is_digit_str());
}

TEST(KeyRule, OtherNamesPackTheirFirstFourCharacters) {
    EXPECT_EQ(Key("ABCD").get_ipc_key(), 0x41424344);
    EXPECT_EQ(Key("AB").get_ipc_key(), 0x4142);
    EXPECT_EQ(Key("c.0").get_ipc_key(), 0x632E30);
    EXPECT_EQ(Key("12ab").get_ipc_key(), 0x31326162);
    // Only the first four characters count, so these name the same object.
    EXPECT_EQ(Key("SITE1").get_ipc_key(), Key("SITE2").get_ipc_key());
}

TEST(KeyRule, HighBytesAreSignExtended) {
    // 0x80 as a signed byte is -128: every bit above it is set before the next shift.
    EXPECT_EQ(Key("\x80").get_ipc_key(), -128);
    EXPECT_EQ(static_cast<uint32_t>(Key("A\xff").get_ipc_key()), 0xFFFFFFFFu);
    EXPECT_EQ(static_cast<uint32_t>(Key("\xff"
                                        "A")
                                        .get_ipc_key()),
              0xFFFFFF41u);
}

TEST(SiteTable, NewTableIs2560ZeroBytesOf32FreeCells) {
    IpcNames ipc;
    std::string name = ipc.name();
    Shm table(name);
    EXPECT_GE(table.getId(), 0);
    EXPECT_EQ(segmentSize(name), 2560u);
    RawTable raw(name);
    ASSERT_TRUE(raw.ok());
    for (size_t i = 0; i < 2560; ++i) ASSERT_EQ(raw.bytes[i], 0) << "byte " << i;
    // An empty name finds the first free cell.
    EXPECT_EQ(table.getCellId(""), 0);
}

TEST(SiteTable, FieldsLieAtTheirFixedOffsetsInEveryMapping) {
    IpcNames ipc;
    std::string name = ipc.name();
    Shm table(name);
    MemoryCell* cell = table.getCell(3);
    std::strcpy(cell->name, "BROKER");
    cell->In = Counters{11, 12, 13, 1000000000014LL};
    cell->Out = Counters{21, 22, 23, 1000000000024LL};
    cell->status = status_Online;
    cell->future = 'f';

    RawTable raw(name);
    ASSERT_TRUE(raw.ok());
    const size_t base = 3 * 80;
    EXPECT_STREQ(reinterpret_cast<char*>(raw.bytes + base), "BROKER");
    EXPECT_EQ(raw.i32(base + 24), 11);
    EXPECT_EQ(raw.i32(base + 28), 12);
    EXPECT_EQ(raw.i32(base + 32), 13);
    EXPECT_EQ(raw.i64(base + 40), 1000000000014LL);
    EXPECT_EQ(raw.i32(base + 48), 21);
    EXPECT_EQ(raw.i32(base + 52), 22);
    EXPECT_EQ(raw.i32(base + 56), 23);
    EXPECT_EQ(raw.i64(base + 64), 1000000000024LL);
    EXPECT_EQ(raw.bytes[base + 72], 'O');
    EXPECT_EQ(raw.bytes[base + 73], 'f');
    // Neighbouring cells are untouched.
    EXPECT_EQ(raw.bytes[base - 1], 0);
    EXPECT_EQ(raw.bytes[base + 80], 0);

    // A write through the raw mapping shows up in the cell.
    raw.bytes[base + 24] = 99;
    EXPECT_EQ(cell->In.seq, 99);
}

TEST(SiteTable, ContentsOutliveTheObjectThatWroteThem) {
    IpcNames ipc;
    std::string name = ipc.name();
    int id;
    {
        Shm first(name);
        id = first.getId();
        std::strcpy(first.getCell(5)->name, "KEEP");
        first.getCell(5)->Out.seq = 77;
    }
    Shm second(name);
    EXPECT_EQ(second.getId(), id);
    EXPECT_EQ(second.getCellId("KEEP"), 5);
    EXPECT_EQ(second.getCell("KEEP")->Out.seq, 77);
}

TEST(SiteTable, LookupFindsTheFirstCellWithExactlyThatName) {
    IpcNames ipc;
    Shm table(ipc.name());
    std::strcpy(table.getCell(0)->name, "ALPHA");
    std::strcpy(table.getCell(4)->name, "BETA");
    std::strcpy(table.getCell(7)->name, "BETA");
    std::strcpy(table.getCell(31)->name, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(table.getCellId("BETA"), 4);
    EXPECT_EQ(table.getCell("BETA"), table.getCell(4));
    EXPECT_EQ(table.getCellId("ABCDEFGHIJKLMNOP"), 31);
    // Lookup is exact and case-sensitive: neither a prefix nor an extension matches.
    for (const char* missing : {"ALPH", "ALPHAX", "alpha", "ABCDEFGHIJKLMNOPQ"}) {
        try {
            table.getCell(std::string(missing));
            ADD_FAILURE() << missing << " was found";
        } catch (const ShmException& e) {
            EXPECT_STREQ(e.what(), "Fail to find the target connection.");
        }
    }
    EXPECT_THROW(table.getCellId("GAMMA"), ShmException);
}

TEST(SiteTable, CellIndexOutsideTheTableIsRefused) {
    IpcNames ipc;
    Shm table(ipc.name());
    EXPECT_EQ(table.getCell(31), table.getCell(0) + 31);
    EXPECT_THROW(table.getCell(32), ShmException);
    EXPECT_THROW(table.getCell(-1), ShmException);
    EXPECT_THROW(table.clearCell(32), ShmException);
}

TEST(SiteTable, RegisterNameReusesItsCellOrFillsTheLowestFreeOne) {
    IpcNames ipc;
    Shm table(ipc.name());
    std::strcpy(table.getCell(0)->name, "A");
    std::strcpy(table.getCell(2)->name, "C");
    table.getCell(1)->Out.seq = 42;  // a free cell keeps its other fields

    MemoryCell* b = table.registerName("B");
    EXPECT_EQ(b, table.getCell(1));
    EXPECT_STREQ(b->name, "B");
    EXPECT_EQ(b->Out.seq, 42);

    table.getCell(2)->In.seq = 5;
    EXPECT_EQ(table.registerName("C"), table.getCell(2));
    EXPECT_EQ(table.getCell(2)->In.seq, 5);

    // A long name is cut to the 16 characters a cell holds, and found again the same way.
    MemoryCell* longName = table.registerName("ABCDEFGHIJKLMNOPQRSTU");
    EXPECT_EQ(longName, table.getCell(3));
    EXPECT_STREQ(longName->name, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(table.registerName("ABCDEFGHIJKLMNOPQRSTU"), longName);
}

TEST(SiteTable, RegisterNameOnAFullTableThrowsAndChangesNothing) {
    IpcNames ipc;
    Shm table(ipc.name());
    for (int i = 0; i < maxCells; ++i) table.registerName("S" + std::to_string(i));
    EXPECT_EQ(table.getCellId("S31"), 31);
    EXPECT_EQ(table.registerName("S17"), table.getCell(17));
    try {
        table.registerName("NEWCOMER");
        ADD_FAILURE() << "a 33rd site was registered";
    } catch (const ShmException& e) {
        EXPECT_STREQ(e.what(), "Fail to register the site: the site table is full.");
    }
    for (int i = 0; i < maxCells; ++i) EXPECT_EQ(table.getCell(i)->name, "S" + std::to_string(i));
}

TEST(SiteTable, ClearCellFreesOneCellAndClearWipesTheTable) {
    IpcNames ipc;
    std::string name = ipc.name();
    Shm table(name);
    for (int i = 0; i < 3; ++i) {
        MemoryCell* c = table.registerName("S" + std::to_string(i));
        c->In = Counters{1, 2, 3, 4};
        c->Out = Counters{5, 6, 7, 8};
        c->status = status_Heartbeat;
    }
    table.clearCell(1);
    RawTable raw(name);
    ASSERT_TRUE(raw.ok());
    for (size_t i = 80; i < 160; ++i) EXPECT_EQ(raw.bytes[i], 0) << "byte " << i;
    EXPECT_THROW(table.getCell("S1"), ShmException);
    EXPECT_EQ(table.getCell("S0")->Out.proc, 7);
    EXPECT_EQ(table.getCell("S2")->status, 'H');
    EXPECT_EQ(table.registerName("NEW"), table.getCell(1));

    table.clear();
    for (size_t i = 0; i < 2560; ++i) ASSERT_EQ(raw.bytes[i], 0) << "byte " << i;
    EXPECT_THROW(table.getCell("S0"), ShmException);
}

TEST(SiteTable, SegmentTooSmallUnderTheKeyIsRefused) {
    IpcNames ipc;
    std::string name = ipc.name();
    int id = shmget(Key(name).get_ipc_key(), 100, IPC_CREAT | 0666);
    ASSERT_GE(id, 0);
    try {
        Shm table(name);
        ADD_FAILURE() << "a 100-byte segment was accepted";
    } catch (const ShmException& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Fail to create a share memory. [" + name + "]: Invalid argument");
    }
}

TEST(SiteTable, NameWithThePrivateKeyIsRefused) {
    // Key 0 would create a fresh unreachable segment on every open.
    EXPECT_THROW(Shm table(""), ShmException);
    EXPECT_THROW(Shm table("0"), ShmException);
}

TEST(SiteTable, ANewTableIsOwnerAndGroupOnlyAndItsLocksTakeItsAccess) {
    IpcNames ipc;
    Shm plain(ipc.name());
    // A table made for another group: whoever may use it may use its sites' locks.
    Shm table(ipc.name(), IpcAccess{0640, true, 54321, true});
    table.registerName("BRK1");
    std::unique_ptr<SiteLock> lock = SiteLock::take(table, 0);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(SiteLock::take(table, 0), nullptr) << "a held lock was handed out twice";
    struct shmid_ds plainDs {
    }, tableDs{};
    struct semid_ds locksDs {};
    ASSERT_EQ(shmctl(plain.getId(), IPC_STAT, &plainDs), 0);
    ASSERT_EQ(shmctl(table.getId(), IPC_STAT, &tableDs), 0);
    ASSERT_EQ(semctl(semget(table.getKey(), 0, 0), 0, IPC_STAT, &locksDs), 0);
    using Access = std::pair<unsigned, gid_t>;
    auto access = [](const struct ipc_perm& p) { return Access(p.mode & 0777, p.gid); };
    EXPECT_EQ(access(plainDs.shm_perm), Access(0660, getegid()));
    EXPECT_EQ(access(tableDs.shm_perm), Access(0640, 54321));
    EXPECT_EQ(access(locksDs.sem_perm), Access(0640, 54321));
}

// A lock that guards nothing would let two sessions write one cell: a set the system will not
// hand out stops the session that asked, naming the table and the reason.
TEST(SiteTable, LocksThatCannotBeHadAreRefusedNotFakedAndTheSiteStaysFree) {
    IpcNames ipc;
    std::string name = ipc.name();
    Shm table(name);
    table.registerName("BRK1");
    // A set of one semaphore under the table's key: no set of a cell per site can be had.
    int tooSmall = semget(table.getKey(), 1, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(tooSmall, 0);
    try {
        SiteLock::take(table, 0);
        ADD_FAILURE() << "a lock was handed out without a set behind it";
    } catch (const ShmException& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Fail to open the site locks of the table [" + name + "]: Invalid argument");
    }
    ASSERT_EQ(semctl(tooSmall, 0, IPC_RMID), 0);
    EXPECT_NE(SiteLock::take(table, 0), nullptr) << "the refusal left the site held";
}
