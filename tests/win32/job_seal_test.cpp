// The job's seal in the real registry of the test prefix (HKLM, written as the elevated updater writes it), and
// the rule by which the key holding it is believed.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <string>

#include "harness.h"
#include "job/job_recovery.h"
#include "job/job_seal.h"
#include "job/journal_format.h"
#include "job_fixture.h"
#include "support/updater_values.h"

namespace {

const char SealKey[] = "SOFTWARE\\FA2 Updater";

std::string SealBytes(const std::string& folder)
{
    return JournalBytes({JobRecord(folder, "", 7)});
}

// This game's seal as it reads now: the state, and the bytes when there is one.
SealState Read(std::string* bytes)
{
    unsigned char* sealed = nullptr;
    size_t size = 0;
    SealState state = ReadJobSeal(&sealed, &size);
    *bytes = sealed ? std::string((const char*)sealed, size) : "";
    if (sealed)
        GlobalFree(sealed);
    return state;
}

// The key deleted before and after: each test makes the key it needs.
struct NoSealKey {
    NoSealKey() { Delete(); }
    ~NoSealKey() { Delete(); }
    // Deleted as itself, a link too (RegDeleteKeyEx would follow a link to its target).
    static void Delete()
    {
        typedef LONG(WINAPI * DeleteKeyCall)(HANDLE);
        DeleteKeyCall deleteKey = (DeleteKeyCall)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey");
        HKEY key;
        if (deleteKey && RegOpenKeyExA(HKEY_LOCAL_MACHINE, SealKey, REG_OPTION_OPEN_LINK,
                                       DELETE | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
            deleteKey(key);
            RegCloseKey(key);
        }
    }
    NoSealKey(const NoSealKey&) = delete;
    NoSealKey& operator=(const NoSealKey&) = delete;
};

// The start believes nothing the key holds: it stops with the box that names the key.
void ExpectTheStartRefusesTheKey()
{
    MessageBoxCapture boxes;
    InstalledGame game{};
    lstrcpyA(game.InstPath, "C:\\Game");
    EXPECT_EQ(FinishInterruptedJob(game), 0);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_NE(boxes.boxes[0].text.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\FA2 Updater"), std::string::npos);
}

class JobSealTest : public ::testing::Test {
protected:
    NoSealKey clean;
    CaptionRestored caption;
    void SetUp() override
    {
        NameJobSeal("ソフト会社", "UpdTestGame");
    }
};

TEST_F(JobSealTest, WrittenReadAndRemovedOnePerGame)
{
    std::string bytes, first = SealBytes("C:\\Game"), later = SealBytes("C:\\Game\\more");
    EXPECT_EQ(Read(&bytes), SealNone);
    ASSERT_TRUE(WriteJobSeal((const unsigned char*)first.data(), first.size(), 1));
    EXPECT_EQ(Read(&bytes), SealFound);
    EXPECT_EQ(bytes, first);
    // A job's first seal never takes the place of another job's.
    EXPECT_FALSE(WriteJobSeal((const unsigned char*)later.data(), later.size(), 1));
    EXPECT_EQ(Read(&bytes), SealFound);
    EXPECT_EQ(bytes, first);
    ASSERT_TRUE(WriteJobSeal((const unsigned char*)later.data(), later.size(), 0));
    EXPECT_EQ(Read(&bytes), SealFound);
    EXPECT_EQ(bytes, later);
    // Another game's seal is its own.
    NameJobSeal("ソフト会社", "OtherGame");
    EXPECT_EQ(Read(&bytes), SealNone);
    NameJobSeal("ソフト会社", "UpdTestGame");
    EXPECT_TRUE(RemoveJobSeal());
    EXPECT_EQ(Read(&bytes), SealNone);
    EXPECT_TRUE(RemoveJobSeal()) << "nothing to remove is no failure";
}

// A value under the game's name that is no seal (another type, or no Job record first) is not believed: the start
// says so and touches nothing.
TEST_F(JobSealTest, AValueThatIsNoSealIsRefused)
{
    std::string seal = SealBytes("C:\\Game");
    ASSERT_TRUE(WriteJobSeal((const unsigned char*)seal.data(), seal.size(), 1));
    std::string staged = seal;
    staged[JournalHeaderSize + 4] = JournalStaged;  // the first record's type, its checksum then wrong
    struct {
        const char* label;
        DWORD type;
        std::string bytes;
        SealState state;
    } cases[] = {
        {"text", REG_SZ, "C:\\Game", SealUnreadable},
        {"empty", REG_BINARY, "", SealUnreadable},
        {"a damaged first record", REG_BINARY, staged, SealFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        HKEY key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, SealKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, "ソフト会社\\UpdTestGame", 0, c.type, (const BYTE*)c.bytes.data(),
                                 (DWORD)c.bytes.size()),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        std::string bytes;
        EXPECT_EQ(Read(&bytes), c.state);
        ExpectTheStartRefusesTheKey();
    }
}

// The key is only made by the updater (with its own list, in the 64-bit view whatever the build); one made by
// someone else with a list that lets others write, or a link to another key, is never believed or written, and
// the start says so and touches nothing.
TEST_F(JobSealTest, AKeyOthersCanChangeIsRefused)
{
    struct {
        const char* label;
        const char* security;  // the key made with this list; null: a link to another key
    } cases[] = {
        {"users may set values", "O:BAG:BAD:P(A;;KA;;;BA)(A;;KA;;;SY)(A;;KRKW;;;BU)"},
        {"everyone may do everything", "O:BAG:BAD:P(A;;KA;;;BA)(A;;KA;;;WD)"},
        {"a link to another key", nullptr},
    };
    std::string seal = SealBytes("C:\\Game");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        NoSealKey::Delete();
        HKEY key = nullptr;
        if (c.security) {
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.security, SDDL_REVISION_1, &descriptor,
                                                                             nullptr));
            ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SealKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                      nullptr, &key, nullptr),
                      ERROR_SUCCESS);
            // Set after the key is made: Wine ignores a list given when a key is created.
            ASSERT_EQ(RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor),
                      ERROR_SUCCESS);
            LocalFree(descriptor);
            // A seal that would be believed in a safe key.
            ASSERT_EQ(RegSetValueExA(key, "ソフト会社\\UpdTestGame", 0, REG_BINARY, (const BYTE*)seal.data(),
                                     (DWORD)seal.size()),
                      ERROR_SUCCESS);
        } else {
            ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SealKey, 0, nullptr, REG_OPTION_CREATE_LINK,
                                      KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
                      ERROR_SUCCESS);
            const wchar_t target[] = L"\\Registry\\Machine\\Software\\Wine";
            ASSERT_EQ(RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, (const BYTE*)target,
                                     sizeof target - sizeof(wchar_t)),
                      ERROR_SUCCESS);
        }
        RegCloseKey(key);
        std::string bytes;
        EXPECT_EQ(Read(&bytes), SealKeyUnsafe);
        EXPECT_FALSE(WriteJobSeal((const unsigned char*)seal.data(), seal.size(), 0));
        EXPECT_FALSE(RemoveJobSeal());

        ExpectTheStartRefusesTheKey();
    }
}

// The rule on a key's owner and access list, over lists written out: only the administrators (the group, SYSTEM)
// may change the key; reading, denying and rights for the keys below do not count.
TEST(SealKeySecurity, OnlyAdministratorsMayChangeTheKey)
{
    struct {
        const char* security;
        int safe;
    } cases[] = {
        {"O:BAG:BAD:P(A;;KA;;;BA)(A;;KA;;;SY)(A;;KR;;;BU)", 1},       // the updater's own
        {"O:SYG:SYD:P(A;;KA;;;SY)", 1},                                // SYSTEM's
        {"O:BAG:BAD:P(A;;KA;;;BA)(D;;KA;;;WD)", 1},                    // a denial takes away only
        {"O:BAG:BAD:P(A;;KA;;;BA)(A;OICIIO;KA;;;CO)", 1},              // the creator's rights are for keys below
        {"O:BAG:BAD:P(A;;KA;;;BA)(A;;KR;;;WD)", 1},                    // everyone reads
        {"O:BUG:BUD:P(A;;KA;;;BA)", 0},                                // users own it: they may change its list
        {"O:S-1-5-21-1-2-3-1000G:BAD:P(A;;KA;;;BA)", 0},               // one user owns it
        {"O:BAG:BAD:P(A;;KA;;;BA)(A;;KW;;;BU)", 0},                    // users write
        {"O:BAG:BAD:P(A;;KA;;;BA)(A;;0x2;;;AU)", 0},                   // authenticated users set values
        {"O:BAG:BAD:P(A;;KA;;;BA)(A;;0x4;;;S-1-5-21-1-2-3-1000)", 0},  // one user makes subkeys
        {"O:BAG:BAD:P(A;;KA;;;BA)(A;;WD;;;IU)", 0},                    // interactive users change the list
        {"O:BAG:BAD:P(A;;KA;;;BA)(A;;GA;;;BU)", 0},                    // users get everything
        {"O:BAG:BAD:P(A;;KA;;;BA)(A;;SD;;;BU)", 0},                    // users delete it
        {"O:BAG:BA", 0},                                               // no list: everyone in
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.security, SDDL_REVISION_1, &descriptor,
                                                                         nullptr))
            << c.security;
        EXPECT_EQ(SealKeySecurityIsSafe(descriptor), c.safe) << c.security;
        LocalFree(descriptor);
    }
}

}  // namespace
