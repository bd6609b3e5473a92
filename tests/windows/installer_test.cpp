// The installers under msiexec, per user and per machine: their files and
// keys, the installed companion relaying and the installed doctor finding it,
// an upgrade over an older version, an uninstall that leaves nothing of it
// behind, and both installed side by side.
#include "fixture.h"

// After windows.h, which they need.
#include <msi.h>
#include <msiquery.h>
#include <shlobj.h>

#include <algorithm>
#include <optional>

#include "version.h"

namespace companion_test {
namespace {

constexpr char kHostKey[] = "\\NativeMessagingHosts\\com.vantro.companion";
// A host of another program, which an uninstall must leave alone.
constexpr char kOtherHost[] = "Software\\Google\\Chrome\\NativeMessagingHosts\\com.other.host";
// Summary information: the package may be installed without elevation.
constexpr int kNoElevationNeeded = 8;

// Each browser key that an installer writes and the manifest it names.
const std::pair<const char*, const char*> kKeys[] = {
    {"Software\\Google\\Chrome", "com.vantro.companion.chrome.json"},
    {"Software\\Chromium", "com.vantro.companion.chrome.json"},
    {"Software\\Microsoft\\Edge", "com.vantro.companion.chrome.json"},
    {"Software\\BraveSoftware\\Brave-Browser", "com.vantro.companion.chrome.json"},
    {"Software\\Mozilla", "com.vantro.companion.firefox.json"},
};

fs::path knownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  EXPECT_EQ(SHGetKnownFolderPath(id, 0, nullptr, &path), S_OK);
  const fs::path folder(path);
  CoTaskMemFree(path);
  return folder;
}

struct Scope {
  const char* name;
  const char* installer;
  const char* older;
  const char* product;
  const char* upgradeCode;
  HKEY root;
  const char* rootName;
  // The view its keys are in: HKCU has one; HKLM's 32-bit view is the one every browser reads first.
  REGSAM view;
  MSIINSTALLCONTEXT context;
  fs::path (*installDir)();
};

const Scope kUser = {"user", "companion-test-user.msi", "companion-test-user-old.msi", "Vantro Companion",
                     "{43490B3F-D56B-41C1-B6E6-04A6872AAA28}", HKEY_CURRENT_USER, "HKCU", KEY_WOW64_32KEY,
                     MSIINSTALLCONTEXT_USERUNMANAGED,
                     [] { return fs::path(localAppData()) / "Programs" / "Companion"; }};
const Scope kMachine = {"machine", "companion-test-machine.msi", "companion-test-machine-old.msi",
                        "Vantro Companion (all users)", "{8F0F6A51-3C55-4D7E-9D59-2A4B8E1F6C03}",
                        HKEY_LOCAL_MACHINE, "HKLM", KEY_WOW64_32KEY, MSIINSTALLCONTEXT_MACHINE,
                        [] { return knownFolder(FOLDERID_ProgramFilesX86) / "Vantro Companion"; }};

class InstallerTest : public CompanionTest {
 protected:
  void SetUp() override {
    CompanionTest::SetUp();
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      HKEY key = nullptr;
      ASSERT_EQ(RegCreateKeyExA(root, kOtherHost, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key,
                                nullptr),
                ERROR_SUCCESS);
      const companion::ScopedRegistryKey owner(key);
      EXPECT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("other"), 6), ERROR_SUCCESS);
    }
  }
  void TearDown() override {
    // Whatever a failed test left installed.
    for (const Scope* scope : {&kUser, &kMachine}) {
      for (const char* installer : {scope->installer, scope->older}) msiexec("/x", installer);
    }
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) RegDeleteKeyExA(root, kOtherHost, KEY_WOW64_32KEY, 0);
    CompanionTest::TearDown();
  }

  static DWORD msiexec(const char* action, const char* installer) {
    Child child(fs::path(L"C:\\windows\\system32\\msiexec.exe"),
                {action, (testProgramDir() / installer).string(), "/qn"});
    return exitCode(child);
  }
  static std::optional<std::string> keyValue(HKEY root, const std::string& key, REGSAM view) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS) return std::nullopt;
    const companion::ScopedRegistryKey owner(opened);
    char value[MAX_PATH] = {};
    DWORD size = sizeof(value) - 1;
    DWORD type = 0;
    const LONG result = RegQueryValueExA(opened, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    if (result != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
    return std::string(value);
  }
  // The installed programs' entry of the scope's installer, "<name> <version>",
  // in the scope's installation context (the user's or the machine's), or
  // empty when nothing of it is installed there.
  static std::string installedProduct(const Scope& scope) {
    char product[39] = {};
    if (MsiEnumRelatedProductsA(scope.upgradeCode, 0, 0, product) != ERROR_SUCCESS) return "";
    auto property = [&](const char* name) {
      char value[256] = {};
      DWORD size = sizeof(value);
      if (MsiGetProductInfoExA(product, nullptr, scope.context, name, value, &size) != ERROR_SUCCESS) return std::string();
      return std::string(value, size);
    };
    return property(INSTALLPROPERTY_INSTALLEDPRODUCTNAME) + " " + property(INSTALLPROPERTY_VERSIONSTRING);
  }
  // The package's summary information says whether it needs elevation.
  static bool needsElevation(const Scope& scope) {
    MSIHANDLE summary = 0;
    EXPECT_EQ(MsiGetSummaryInformationA(0, (testProgramDir() / scope.installer).string().c_str(), 0, &summary),
              static_cast<UINT>(ERROR_SUCCESS));
    UINT type = 0;
    INT words = 0;
    FILETIME unused{};
    DWORD size = 0;
    EXPECT_EQ(MsiSummaryInfoGetPropertyA(summary, PIDSI_WORDCOUNT, &type, &words, &unused, nullptr, &size),
              static_cast<UINT>(ERROR_SUCCESS));
    MsiCloseHandle(summary);
    return (words & kNoElevationNeeded) == 0;
  }
  // Every key names its manifest in the installed folder, in the scope's view, and the file is there.
  static void expectKeysNameTheInstalledManifests(const Scope& scope) {
    for (const auto& [key, manifest] : kKeys) {
      SCOPED_TRACE(std::string(scope.rootName) + "\\" + key);
      EXPECT_EQ(keyValue(scope.root, std::string(key) + kHostKey, scope.view),
                (scope.installDir() / manifest).string());
      EXPECT_TRUE(fs::is_regular_file(scope.installDir() / manifest));
    }
  }
  static void expectNothingLeft(const Scope& scope) {
    EXPECT_FALSE(fs::exists(scope.installDir())) << scope.installDir();
    for (const auto& [key, manifest] : kKeys) {
      for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        EXPECT_FALSE(keyValue(scope.root, std::string(key) + kHostKey, view)) << scope.rootName << "\\" << key;
      }
    }
    EXPECT_EQ(keyValue(scope.root, kOtherHost, KEY_WOW64_32KEY), "other");
    EXPECT_EQ(installedProduct(scope), "");
  }
  // The doctor installed with the scope finds this browser's manifest through the given scope's keys.
  static void expectDoctorUses(const Scope& installed, const Scope& registered) {
    Child doctor(installed.installDir() / "companion-doctor.exe", {});
    EXPECT_EQ(exitCode(doctor), 0u) << doctor.output();
    for (const auto& [browser, key] : {std::pair{"chrome", "Software\\Google\\Chrome"}, {"firefox", "Software\\Mozilla"}}) {
      const std::string manifest =
          (registered.installDir() / ("com.vantro.companion." + std::string(browser) + ".json")).string();
      EXPECT_NE(doctor.output().find("ok\tbrowser " + std::string(browser) + "\tuses " + manifest + " (from " +
                                     registered.rootName + "\\" + key + kHostKey + " (32-bit view))"),
                std::string::npos)
          << doctor.output();
    }
  }
};

class InstallerScopeTest : public InstallerTest, public ::testing::WithParamInterface<const Scope*> {};

TEST_P(InstallerScopeTest, InstallsRelaysAndUninstallsLeavingNothing) {
  const Scope& scope = *GetParam();
  EXPECT_EQ(needsElevation(scope), &scope == &kMachine);
  ASSERT_EQ(msiexec("/i", scope.installer), 0u);
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(scope.installDir())) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"com.vantro.companion.chrome.json", "com.vantro.companion.firefox.json",
                                             "companion-doctor.exe", "companion.exe"}));
  expectKeysNameTheInstalledManifests(scope);
  EXPECT_EQ(installedProduct(scope), std::string(scope.product) + " " + companion::kVersion);

  // The installed companion relays, and the installed doctor finds it registered.
  programDir_ = scope.installDir();
  useSuffix(freshSuffix("msi"));
  {
    const auto agent = startAgent({"--echo"});
    expectDoctorUses(scope, scope);
    Child companion(program(), {});
    roundTrip(companion, "through the installed companion");
    companion.closeStdin();
    EXPECT_EQ(exitCode(companion), 246u);
  }
  // The suffix file is this test's, not the installer's.
  fs::remove(scope.installDir() / "companion.suffix");

  ASSERT_EQ(msiexec("/x", scope.installer), 0u);
  expectNothingLeft(scope);
}

TEST_P(InstallerScopeTest, UpgradeOverAnOlderVersionKeepsWorkingKeys) {
  const Scope& scope = *GetParam();
  const std::string current = std::string(scope.product) + " " + companion::kVersion;
  ASSERT_EQ(msiexec("/i", scope.older), 0u);
  EXPECT_EQ(installedProduct(scope), std::string(scope.product) + " 0.0.1");
  ASSERT_EQ(msiexec("/i", scope.installer), 0u);
  EXPECT_EQ(installedProduct(scope), current);
  expectKeysNameTheInstalledManifests(scope);
  Child version(scope.installDir() / "companion.exe", {"--version"});
  EXPECT_EQ(exitCode(version), 0u);
  EXPECT_EQ(version.output(), std::string("Version: ") + companion::kVersion + "\r\n");

  // The older installer does not go back over the newer one.
  EXPECT_NE(msiexec("/i", scope.older), 0u);
  EXPECT_EQ(installedProduct(scope), current);
  ASSERT_EQ(msiexec("/x", scope.installer), 0u);
  expectNothingLeft(scope);
}

void PrintTo(const Scope* scope, std::ostream* out) { *out << scope->name; }

INSTANTIATE_TEST_SUITE_P(Scopes, InstallerScopeTest, ::testing::Values(&kUser, &kMachine),
                         [](const auto& scope) { return std::string(scope.param->name); });

// Side by side, each keeps its own files and keys; the browsers take the
// per-user registration first (HKCU before HKLM), and the per-machine one once
// the per-user one is gone.
TEST_F(InstallerTest, BothScopesSideBySideKeepTheirOwnKeys) {
  ASSERT_EQ(msiexec("/i", kMachine.installer), 0u);
  ASSERT_EQ(msiexec("/i", kUser.installer), 0u);
  EXPECT_EQ(installedProduct(kUser), std::string(kUser.product) + " " + companion::kVersion);
  EXPECT_EQ(installedProduct(kMachine), std::string(kMachine.product) + " " + companion::kVersion);
  expectKeysNameTheInstalledManifests(kUser);
  expectKeysNameTheInstalledManifests(kMachine);
  // Each doctor looks for the agent's name with the suffix file beside it.
  programDir_ = kMachine.installDir();
  useSuffix(freshSuffix("both"));
  fs::copy_file(program().parent_path() / "companion.suffix", kUser.installDir() / "companion.suffix");
  {
    const auto agent = startAgent({"--echo"});
    expectDoctorUses(kUser, kUser);

    fs::remove(kUser.installDir() / "companion.suffix");
    ASSERT_EQ(msiexec("/x", kUser.installer), 0u);
    expectNothingLeft(kUser);
    expectKeysNameTheInstalledManifests(kMachine);
    expectDoctorUses(kMachine, kMachine);
  }
  fs::remove(kMachine.installDir() / "companion.suffix");
  ASSERT_EQ(msiexec("/x", kMachine.installer), 0u);
  expectNothingLeft(kMachine);
}

}  // namespace
}  // namespace companion_test
