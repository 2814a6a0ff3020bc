#include <gtest/gtest.h>

#include "channel/channel_places.hpp"
#include "runtime/storage_guard.hpp"

namespace guardian {
namespace {

constexpr char kUser[] = "S-1-5-21-1004336348-1177238915-682003330-1001";

TEST(StorageGuard, OwnerAndAccessListDecideTrust) {
  // The agent's own list: SYSTEM and Administrators full control, authenticated users read.
  const std::vector<StorageAce> own = {{kLocalSystemSid, true, false, 0x1F01FF},
                                       {kAdministratorsSid, true, false, 0x1F01FF},
                                       {"S-1-5-11", true, false, 0x1200A9}};
  EXPECT_TRUE(storage_level_trusted(kLocalSystemSid, true, own, kStorageChangeRights));
  EXPECT_TRUE(storage_level_trusted(kAdministratorsSid, true, own, kStorageChangeRights));
  for (const char* other : {kUser, "S-1-5-32-545", "S-1-5-11", "S-1-1-0", "S-1-5-19", "S-1-5-18-1", "s-1-5-18", ""})
    EXPECT_FALSE(storage_level_trusted(other, true, own, kStorageChangeRights)) << other;
  EXPECT_FALSE(storage_level_trusted(kLocalSystemSid, false, {}, kStorageParentChangeRights));  // no list: all may

  auto with = [&](StorageAce extra, uint32_t rights = kStorageChangeRights) {
    std::vector<StorageAce> aces = own;
    aces.push_back(std::move(extra));
    return storage_level_trusted(kLocalSystemSid, true, aces, rights);
  };
  // What the common application-data folder passes on lets users add files and folders: not
  // in "guardian", but beside it (in "Ostrival") that gives no hold on it.
  EXPECT_FALSE(with({"S-1-5-32-545", true, false, 0x116}));
  EXPECT_TRUE(with({"S-1-5-32-545", true, false, 0x116}, kStorageParentChangeRights));
  EXPECT_FALSE(with({"S-1-5-32-545", true, false, 0x40}, kStorageParentChangeRights));  // delete child
  EXPECT_FALSE(with({kUser, true, false, 0x40000}));            // one user: change the list
  EXPECT_FALSE(with({"S-1-1-0", true, false, 0x10000000}));     // everyone: generic all
  EXPECT_FALSE(with({"", true, false, kStorageChangeRights}));  // an entry of a kind not read
  EXPECT_TRUE(with({"S-1-3-0", true, true, 0x1F01FF}));         // creator owner, for entries only
  EXPECT_TRUE(with({kUser, false, false, 0x1F01FF}));           // a denial takes nothing
  EXPECT_TRUE(with({kUser, true, false, 0x1200A9}));            // read and traverse
  EXPECT_TRUE(with({kTrustedInstallerSid, true, false, 0x1F01FF}));
}

TEST(StorageGuard, TheLogGetsItsOwnListUnlessItHasIt) {
  std::vector<StorageAce> own = {{kLocalSystemSid, true, false, 0x1F01FF}, {kUser, false, false, 0x1F01FF}};
  EXPECT_FALSE(log_file_list_replaced(true, true, own));  // a denial grants nothing
  EXPECT_TRUE(log_file_list_replaced(true, false, own));  // inherits: the folder may add to it
  EXPECT_TRUE(log_file_list_replaced(false, true, {}));   // no list: everyone may do anything
  own.push_back({"S-1-5-11", true, false, 0x1200A9});      // what the folder passes on: users read
  EXPECT_TRUE(log_file_list_replaced(true, true, own));
}

TEST(StorageGuard, LinksAndUntrustedLevelsMovedAsideByLocalSystemOnly) {
  using A = StorageLevelAction;
  EXPECT_EQ(storage_level_action(true, true, true), A::move_aside);  // the link itself, never its target
  EXPECT_EQ(storage_level_action(true, false, true), A::refuse);
  EXPECT_EQ(storage_level_action(false, true, false), A::move_aside);
  EXPECT_EQ(storage_level_action(false, true, true), A::use);
  EXPECT_EQ(storage_level_action(false, false, false), A::use);  // not LocalSystem: not judged
  // A level that could not be held: only a reader that does not share reading leaves it usable.
  for (bool checked : {true, false}) {
    const A changeable = checked ? A::move_aside : A::refuse;
    EXPECT_EQ(storage_unheld_action(false, true, checked), A::use_unheld);
    EXPECT_EQ(storage_unheld_action(true, false, checked), changeable);   // a handle with delete access
    EXPECT_EQ(storage_unheld_action(false, false, checked), changeable);  // one that may have it
    EXPECT_EQ(storage_unheld_action(true, true, checked), changeable);
  }
  EXPECT_EQ(storage_aside_name(L"C:\\ProgramData\\Ostrival\\", "20261207143000", "0a1f"),
            L"C:\\ProgramData\\Ostrival.untrusted-20261207143000-0a1f");
}

// The folder used instead of a default one a user holds, and the only form of it a client or a
// later start takes from the registry.
TEST(StorageGuard, FallbackFolderNames) {
  const std::wstring base = L"C:\\ProgramData";
  EXPECT_EQ(storage_fallback_dir(base, "1a2b3c4d"), L"C:\\ProgramData\\Ostrival-1a2b3c4d\\guardian");
  EXPECT_TRUE(is_storage_fallback_dir(base, L"C:\\ProgramData\\Ostrival-1a2b3c4d\\guardian"));
  for (const wchar_t* other : {L"C:\\ProgramData\\Ostrival\\guardian", L"C:\\ProgramData\\Ostrival-1A2B3C4D\\guardian",
                               L"C:\\ProgramData\\Ostrival-1a2b3c4\\guardian", L"D:\\ProgramData\\Ostrival-1a2b3c4d\\guardian",
                               L"C:\\ProgramData\\Ostrival-1a2b3c4d\\guardian\\x", L"C:\\ProgramData\\Ostrival-1a2b3c4g\\guardian",
                               L""})
    EXPECT_FALSE(is_storage_fallback_dir(base, other));
}

// What the installing account may change itself: --install warns of it.
TEST(StorageGuard, AnAccountChangesWhatItOwnsOrIsGrantedByName) {
  const std::vector<StorageAce> aces = {{kUser, true, false, 0x1200A9}, {"S-1-5-11", true, false, 0x2}};
  EXPECT_TRUE(account_can_change(kUser, {}, kProgramChangeRights, kUser));
  EXPECT_FALSE(account_can_change(kAdministratorsSid, aces, kProgramChangeRights, kUser));  // read only
  EXPECT_TRUE(account_can_change(kAdministratorsSid, {{kUser, true, false, 0x40000}}, kProgramChangeRights, kUser));
  EXPECT_FALSE(account_can_change(kAdministratorsSid, {{kUser, true, true, 0x1F01FF}}, kProgramChangeRights, kUser));
  EXPECT_FALSE(account_can_change(kUser, aces, kProgramChangeRights, ""));
  // The MSI's --install runs as LocalSystem, which Program Files grants full control: no warning.
  const std::vector<StorageAce> program_files = {{kLocalSystemSid, true, false, 0x1F01FF},
                                                 {kAdministratorsSid, true, false, 0x1F01FF}};
  EXPECT_FALSE(account_can_change(kLocalSystemSid, program_files, kProgramChangeRights, kLocalSystemSid));
  EXPECT_FALSE(account_can_change(kAdministratorsSid, program_files, kProgramChangeRights, kLocalSystemSid));
}

TEST(StorageGuard, Texts) {
  EXPECT_EQ(storage_move_failed_reason("Access is denied."),
            "not safe to use, and could not be moved aside: Access is denied.");
  EXPECT_EQ(storage_moved_warning("C:\\ProgramData\\Ostrival", "S-1-5-21-1-2-3-1001",
                                  "C:\\ProgramData\\Ostrival.untrusted-1"),
            "storage dir C:\\ProgramData\\Ostrival (owner S-1-5-21-1-2-3-1001) was open to others; moved to "
            "C:\\ProgramData\\Ostrival.untrusted-1 and created anew");
  EXPECT_NE(storage_moved_warning("x", "", "y").find("(owner unreadable)"), std::string::npos);
  EXPECT_EQ(storage_not_held_warning("C:\\ProgramData\\Ostrival"),
            "storage dir C:\\ProgramData\\Ostrival is open in another program that does not share reading; used "
            "without being held");
  EXPECT_EQ(storage_held_moved_warning("C:\\ProgramData\\Ostrival", "C:\\ProgramData\\Ostrival.untrusted-1"),
            "storage dir C:\\ProgramData\\Ostrival was open in another program that could move it; moved to "
            "C:\\ProgramData\\Ostrival.untrusted-1 and created anew");
}

}  // namespace
}  // namespace guardian
