#include <gtest/gtest.h>

#include "runtime/storage_guard.hpp"

namespace guardian {
namespace {

TEST(StorageGuard, LinksAreRefusedAndForeignOwnersRepaired) {
  using A = StorageLevelAction;
  // A link is refused whoever owns it and whether or not owners are checked.
  EXPECT_EQ(storage_level_action(true, true, kLocalSystemSid), A::refuse);
  EXPECT_EQ(storage_level_action(true, false, ""), A::refuse);
  // SYSTEM and Administrators are relied on; any other owner, or none readable, is repaired.
  EXPECT_EQ(storage_level_action(false, true, "S-1-5-18"), A::use);
  EXPECT_EQ(storage_level_action(false, true, "S-1-5-32-544"), A::use);
  for (const char* other : {"S-1-5-21-1004336348-1177238915-682003330-1001", "S-1-5-32-545", "S-1-5-11", "S-1-1-0",
                            "S-1-5-19", "S-1-5-18-1", "s-1-5-18", ""})
    EXPECT_EQ(storage_level_action(false, true, other), A::repair) << other;
  // Not running as LocalSystem: owners are not read, so not judged.
  EXPECT_EQ(storage_level_action(false, false, ""), A::use);
}

TEST(StorageGuard, OnlyPlainSingleNameFilesAreTakenOver) {
  EXPECT_TRUE(storage_entry_repairable(false, false, 1));
  EXPECT_FALSE(storage_entry_repairable(true, false, 1));   // a folder
  EXPECT_FALSE(storage_entry_repairable(false, true, 1));   // a file link
  EXPECT_FALSE(storage_entry_repairable(true, true, 1));    // a junction
  EXPECT_FALSE(storage_entry_repairable(false, false, 2));  // a hard link to some other file
  EXPECT_FALSE(storage_entry_repairable(false, false, 0));
}

TEST(StorageGuard, Texts) {
  EXPECT_EQ(storage_repair_failed_reason("Access is denied."),
            "not owned by SYSTEM or Administrators and could not be repaired: Access is denied.");
  EXPECT_EQ(storage_repaired_warning("C:\\ProgramData\\Ostrival", "S-1-5-21-1-2-3-1001"),
            "storage dir C:\\ProgramData\\Ostrival was owned by S-1-5-21-1-2-3-1001; owner set to SYSTEM and access "
            "reset to the agent's own");
  EXPECT_NE(storage_repaired_warning("x", "").find("was owned by an unreadable owner;"), std::string::npos);
}

}  // namespace
}  // namespace guardian
