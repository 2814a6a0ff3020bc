#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "runtime/config.hpp"
#include "runtime/storage_guard.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

TEST(StorageDir, CreationResultsAccepted) {
  test::ScratchDir scratch;
  const std::wstring dir = scratch.file(L"a\\b\\c");
  EXPECT_EQ(create_storage_dir(dir), 0);
  EXPECT_TRUE(storage_dir_result_ok(create_storage_dir(dir)));
  EXPECT_TRUE(storage_dir_result_ok(183));
  EXPECT_TRUE(storage_dir_result_ok(80));
  // Below a file: the directory cannot be made.
  test::spit(scratch.file(L"file"), "x");
  EXPECT_FALSE(storage_dir_result_ok(create_storage_dir(scratch.file(L"file\\sub"))));
  // A relative path is refused.
  EXPECT_FALSE(storage_dir_result_ok(create_storage_dir(L"relative\\dir")));
}

TEST(StorageDir, PreparedOnlyWhenADirectoryStandsThere) {
  test::ScratchDir scratch;
  EXPECT_EQ(prepare_storage_dir(scratch.file(L"a\\b")), "");
  EXPECT_EQ(prepare_storage_dir(scratch.file(L"a\\b")), "");  // already there
  test::spit(scratch.file(L"file"), "x");
  EXPECT_EQ(prepare_storage_dir(scratch.file(L"file")), "a file stands in its place");
  EXPECT_EQ(prepare_storage_dir(scratch.file(L"file\\sub")).rfind("cannot be created: ", 0), 0u);
  // Too long: refused before anything is created, by the unchecked creation too.
  std::wstring deep = scratch.path();
  while (deep.size() <= kStorageDirMaxChars) deep += L"\\level";
  EXPECT_EQ(prepare_storage_dir(deep),
            "path too long: " + std::to_string(deep.size()) + " characters, at most 200 leave room for the agent's "
            "files within a Windows path");
  EXPECT_EQ(create_storage_dir(deep), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_FALSE(test::file_exists(scratch.file(L"level")));
}

TEST(StorageDir, AnOverlongVariableIsAnErrorNotTheDefault) {
  ASSERT_TRUE(SetEnvironmentVariableW(kStorageDirVar, std::wstring(5000, L'x').c_str()));
  EXPECT_EQ(resolve_storage_dir(true), L"");
  EXPECT_EQ(storage_dir_env_error(), "OV_STORAGE_DIR is too long (5000 characters; at most 4095 can be read)");
  EXPECT_EQ(resolve_storage_dir(false), default_storage_dir());  // the service never reads it
  ASSERT_TRUE(SetEnvironmentVariableW(kStorageDirVar, std::wstring(4095, L'x').c_str()));
  EXPECT_EQ(resolve_storage_dir(true), std::wstring(4095, L'x'));
  SetEnvironmentVariableW(kStorageDirVar, nullptr);
}

TEST(StorageDir, DefaultLocation) {
  const std::wstring dir = default_storage_dir();
  ASSERT_GE(dir.size(), 18u);
  EXPECT_EQ(dir.substr(dir.size() - 18), L"\\Ostrival\\guardian");
}

TEST(StorageDir, SecuredDescriptorGrantsWhatTheAppsNeed) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kStorageDirSddl, SDDL_REVISION_1, &sd, nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl);
  ASSERT_EQ(dacl->AceCount, 3);
  // Third entry: authenticated users may read and traverse, nothing more.
  ACCESS_ALLOWED_ACE* ace = nullptr;
  ASSERT_TRUE(GetAce(dacl, 2, reinterpret_cast<void**>(&ace)));
  EXPECT_TRUE(IsWellKnownSid(&ace->SidStart, WinAuthenticatedUserSid));
  EXPECT_EQ(ace->Mask & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_ADD_FILE | DELETE | WRITE_DAC), 0u);
  EXPECT_TRUE(ace->Mask & GENERIC_READ);
  EXPECT_EQ(ace->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
            OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
  ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
  EXPECT_TRUE(IsWellKnownSid(&ace->SidStart, WinLocalSystemSid));
  ASSERT_TRUE(GetAce(dacl, 1, reinterpret_cast<void**>(&ace)));
  EXPECT_TRUE(IsWellKnownSid(&ace->SidStart, WinBuiltinAdministratorsSid));
  LocalFree(sd);

  // A folder carrying it is used as it is, at both levels, when SYSTEM or the Administrators
  // own it; the list the common application-data folder passes on (users may add files and
  // folders) is used only for the parent.
  for (const std::wstring owner : {L"O:SY", L"O:BA"}) {
    EXPECT_TRUE(storage_descriptor_trusted(owner + kStorageDirSddl, false));
    EXPECT_TRUE(storage_descriptor_trusted(owner + kStorageDirSddl, true));
  }
  EXPECT_FALSE(storage_descriptor_trusted(std::wstring(L"O:BU") + kStorageDirSddl, true));
  const std::wstring passed_on =
      L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;CI;0x116;;;BU)(A;OICIIO;GA;;;CO)";
  EXPECT_FALSE(storage_descriptor_trusted(passed_on, false));
  EXPECT_TRUE(storage_descriptor_trusted(passed_on, true));
}

// The access lists a program location meets, as descriptors: what Wine reports for every
// file (the installing user owns it), the installer's folder list, and a folder an
// administrator made on a drive's root. The installing account here is user 1001.
TEST(StorageDir, ProgramLocationsJudgedFromTheirDescriptors) {
  auto by = [](const std::wstring& sddl, uint32_t rights = kProgramChangeRights) {
    ObjectProtection p;
    EXPECT_TRUE(descriptor_protection(sddl, p)) << to_utf8(sddl);
    return program_object_changeable_by(p.owner_sid, p.has_dacl, p.aces, rights, "S-1-5-21-1-2-3-1001").value_or("-");
  };
  const std::wstring wine = L"(A;;FA;;;SY)(A;;FA;;;S-1-5-21-1-2-3-1001)(A;;0x1200a9;;;WD)";
  EXPECT_EQ(by(L"O:S-1-5-21-1-2-3-1001D:" + wine), "-");
  EXPECT_EQ(by(L"O:S-1-5-21-1-2-3-1002D:" + wine), "S-1-5-21-1-2-3-1002");  // another user's
  EXPECT_EQ(by(L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"), "everyone");  // no list
  const std::wstring installed = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
  EXPECT_EQ(by(installed), "-");
  EXPECT_EQ(by(installed + L"(A;;0x4;;;AU)"), "S-1-5-11");  // append (add folders), one right of several
  EXPECT_EQ(by(installed + L"(A;OICI;WD;;;WD)"), "S-1-1-0");
  // Under a drive's root, authenticated users may modify what they did not make: rename it.
  const std::wstring made_on_root = L"O:BAD:(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
                                    L"(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)";
  EXPECT_EQ(by(made_on_root, kStorageParentChangeRights), "S-1-5-11");
  EXPECT_EQ(by(L"O:SYD:(A;;FA;;;SY)(A;;0x100004;;;AU)", kStorageParentChangeRights), "-");
  // A system volume's root lets users add folders, which moves nothing away; delete child does.
  const std::wstring root = L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:PAI(A;OICI;FA;;;SY)"
                            L"(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;CI;0x4;;;AU)(A;OICIIO;SDGXGWGR;;;AU)";
  EXPECT_EQ(by(root, kVolumeRootChangeRights), "-");
  EXPECT_EQ(by(root + L"(A;;0x1301ff;;;WD)", kVolumeRootChangeRights), "S-1-1-0");
}

TEST(StorageDir, SecuredDirectoryAndItsParentHaveTheirOwnProtectedAcl) {
  test::ScratchDir scratch;
  const std::wstring dir = scratch.file(L"top\\secured");
  ASSERT_EQ(create_secured_dir(dir), 0);
  EXPECT_EQ(create_secured_dir(dir), ERROR_ALREADY_EXISTS);
  for (const std::wstring& level : {scratch.file(L"top"), dir}) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(level.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                    nullptr, &sd),
              ERROR_SUCCESS);
    wchar_t* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                     &text, nullptr));
    const std::wstring sddl = text;
    LocalFree(text);
    if (test::running_under_wine() && sddl.find(L";;;AU)") == std::wstring::npos) {
      LocalFree(sd);
      GTEST_SKIP() << "Wine does not keep the security descriptor given to CreateDirectory here";
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 3);
    LocalFree(sd);
    EXPECT_NE(sddl.find(L";;;SY)"), std::wstring::npos) << sddl;
    EXPECT_NE(sddl.find(L";;;BA)"), std::wstring::npos) << sddl;
    EXPECT_NE(sddl.find(L";;;AU)"), std::wstring::npos) << sddl;
  }
}

TEST(StorageDir, TheDefaultFolderCheckCreatesBothLevelsAndLeavesAFileToStartUp) {
  test::ScratchDir scratch;
  const std::wstring dir = scratch.file(L"Ostrival\\guardian");
  for (int run = 0; run < 2; ++run) {  // created, then found
    const StorageCheck check = secure_default_storage_dir(dir);
    EXPECT_EQ(check.refused, "");
    EXPECT_TRUE(check.warnings.empty());  // owners are judged only when running as LocalSystem
    EXPECT_EQ(GetFileAttributesW(dir.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  }
  {  // a level cannot be moved away while a check holds it
    const StorageCheck check = secure_default_storage_dir(dir);
    EXPECT_FALSE(MoveFileW(dir.c_str(), (dir + L"-moved").c_str()));
  }
  // Another program's handle: one that could rename the level keeps it from being used; a
  // reader that does not share reading only keeps it from being held.
  for (const bool deletes : {true, false}) {  // sharing read and write; write and delete
    const UniqueFile other(CreateFileW(dir.c_str(), deletes ? DELETE : FILE_LIST_DIRECTORY, deletes ? 3 : 6, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const StorageCheck check = secure_default_storage_dir(dir);
    EXPECT_TRUE(other && check.refused == (deletes ? kStorageHeldReason : "")) << check.refused;
    EXPECT_EQ(check.warnings.size(), deletes ? 0u : 1u);
  }
  EXPECT_TRUE(MoveFileW(dir.c_str(), (dir + L"-moved").c_str()));
  test::spit(scratch.file(L"Ostrival\\file"), "x");
  EXPECT_EQ(secure_default_storage_dir(scratch.file(L"Ostrival\\file")).refused, "");
  EXPECT_EQ(prepare_storage_dir(scratch.file(L"Ostrival\\file")), "a file stands in its place");
}

// As LocalSystem: a level whose rename never ends (an oplock's break that its holder never
// acknowledges) and a secret's file that another program keeps from every reader are left in
// place, within the limit, for a folder of the agent's own.
TEST(StorageDir, WhatAnotherProgramKeepsWaitingGivesWayToAFolderOfItsOwn) {
  test::ScratchDir scratch;
  const std::wstring dir = scratch.file(L"Ostrival\\guardian");
  StorageGuardOptions options;
  options.as_system = options.fall_back = true;
  options.trusted = [](const ObjectProtection&, uint32_t) { return true; };
  options.move_limit_ms = 1000;
  const UniqueHandle acknowledged(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  options.rename = [gate = acknowledged.get()](void*, const std::wstring&) {
    WaitForSingleObject(gate, 10000);
    return static_cast<unsigned long>(ERROR_ACCESS_DENIED);
  };
  ASSERT_EQ(secure_storage(dir, options).refused, "");
  {  // a handle that could rename the level: it is moved aside, which never ends
    const UniqueFile renamer(CreateFileW(dir_of(dir).c_str(), DELETE, 7, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const ULONGLONG began = GetTickCount64();
    const StorageCheck check = secure_storage(dir, options);
    EXPECT_LT(GetTickCount64() - began, 3000u);
    EXPECT_NE(check.dir, dir);
    EXPECT_NE(check.fallback.find("could not be moved aside: the rename did not end within 1 s"), std::string::npos)
        << check.fallback;
  }
  SetEvent(acknowledged.get());  // the rename left behind ends, and with it its handle
  Sleep(300);
  options.rename = nullptr;
  options.readable_file = L"channel.bin";
  test::spit(path_join(dir, L"channel.bin"), "sealed");
  EXPECT_EQ(secure_storage(dir, options).dir, dir);  // read: used
  const UniqueFile holder(CreateFileW(path_join(dir, L"channel.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      0, nullptr));
  const StorageCheck check = secure_storage(dir, options);
  EXPECT_NE(check.dir, dir);
  EXPECT_NE(check.fallback.find("channel.bin: open in another program that keeps it from being read"),
            std::string::npos) << check.fallback;
}

}  // namespace
}  // namespace guardian
