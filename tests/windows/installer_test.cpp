// The per-user installer under msiexec: its files and keys, the installed
// companion relaying and the installed doctor finding it, an upgrade over an
// older version, and an uninstall that leaves nothing of it behind.
#include "fixture.h"

// After windows.h, which it needs.
#include <msi.h>

#include <algorithm>
#include <optional>

#include "version.h"

namespace companion_test {
namespace {

constexpr char kInstaller[] = "companion-test.msi";
constexpr char kOlderInstaller[] = "companion-test-old.msi";
constexpr char kUpgradeCode[] = "{43490B3F-D56B-41C1-B6E6-04A6872AAA28}";
constexpr char kHostKey[] = "\\NativeMessagingHosts\\com.vantro.companion";
// A host of another program, which an uninstall must leave alone.
constexpr char kOtherHost[] = "Software\\Google\\Chrome\\NativeMessagingHosts\\com.other.host";

// Each browser key that the installer writes and the manifest it names.
const std::pair<const char*, const char*> kKeys[] = {
    {"Software\\Google\\Chrome", "com.vantro.companion.chrome.json"},
    {"Software\\Chromium", "com.vantro.companion.chrome.json"},
    {"Software\\Microsoft\\Edge", "com.vantro.companion.chrome.json"},
    {"Software\\BraveSoftware\\Brave-Browser", "com.vantro.companion.chrome.json"},
    {"Software\\Mozilla", "com.vantro.companion.firefox.json"},
};

class InstallerTest : public CompanionTest {
 protected:
  void SetUp() override {
    CompanionTest::SetUp();
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, kOtherHost, nullptr, REG_SZ, "other", 6), ERROR_SUCCESS);
  }
  void TearDown() override {
    // Whatever a failed test left installed.
    for (const char* installer : {kInstaller, kOlderInstaller}) msiexec("/x", installer);
    RegDeleteKeyA(HKEY_CURRENT_USER, kOtherHost);
    CompanionTest::TearDown();
  }

  static DWORD msiexec(const char* action, const char* installer) {
    Child child(fs::path(L"C:\\windows\\system32\\msiexec.exe"),
                {action, (testProgramDir() / installer).string(), "/qn"});
    return exitCode(child);
  }
  static fs::path installDir() { return fs::path(localAppData()) / "Programs" / "Companion"; }
  static std::optional<std::string> keyValue(const std::string& key) {
    char value[MAX_PATH] = {};
    DWORD size = sizeof(value);
    if (RegGetValueA(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    return std::string(value);
  }
  // The installed programs' entry of the installer, "<name> <version>", or
  // empty when nothing of it is installed.
  static std::string installedProduct() {
    char product[39] = {};
    if (MsiEnumRelatedProductsA(kUpgradeCode, 0, 0, product) != ERROR_SUCCESS) return "";
    auto property = [&](const char* name) {
      char value[256] = {};
      DWORD size = sizeof(value);
      MsiGetProductInfoA(product, name, value, &size);
      return std::string(value, size);
    };
    return property(INSTALLPROPERTY_INSTALLEDPRODUCTNAME) + " " + property(INSTALLPROPERTY_VERSIONSTRING);
  }
  // Every key names its manifest in the installed folder, and the file is there.
  static void expectKeysNameTheInstalledManifests() {
    for (const auto& [key, manifest] : kKeys) {
      SCOPED_TRACE(key);
      EXPECT_EQ(keyValue(std::string(key) + kHostKey), (installDir() / manifest).string());
      EXPECT_TRUE(fs::is_regular_file(installDir() / manifest));
    }
  }
  static void expectNothingLeft() {
    EXPECT_FALSE(fs::exists(installDir()));
    for (const auto& [key, manifest] : kKeys) EXPECT_FALSE(keyValue(std::string(key) + kHostKey)) << key;
    EXPECT_EQ(keyValue(kOtherHost), "other");
    EXPECT_EQ(installedProduct(), "");
  }
};

TEST_F(InstallerTest, InstallsForThisUserRelaysAndUninstallsLeavingNothing) {
  ASSERT_EQ(msiexec("/i", kInstaller), 0u);
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(installDir())) files.push_back(entry.path().filename().string());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"com.vantro.companion.chrome.json", "com.vantro.companion.firefox.json",
                                             "companion-doctor.exe", "companion.exe"}));
  expectKeysNameTheInstalledManifests();
  EXPECT_EQ(installedProduct(), std::string("Vantro Companion ") + companion::kVersion);

  // The installed companion relays, and the installed doctor finds it registered.
  programDir_ = installDir();
  useSuffix(freshSuffix("msi"));
  {
    const auto agent = startAgent({"--echo"});
    Child doctor(installDir() / "companion-doctor.exe", {});
    EXPECT_EQ(exitCode(doctor), 0u) << doctor.output();
    for (const char* family : {"chrome", "firefox"}) {
      const std::string manifest = (installDir() / ("com.vantro.companion." + std::string(family) + ".json")).string();
      EXPECT_NE(doctor.output().find("ok\tbrowser " + std::string(family) + "\tuses " + manifest), std::string::npos)
          << doctor.output();
    }
    Child companion(program(), {});
    roundTrip(companion, "through the installed companion");
    companion.closeStdin();
    EXPECT_EQ(exitCode(companion), 246u);
  }
  // The suffix file is this test's, not the installer's.
  fs::remove(installDir() / "companion.suffix");

  ASSERT_EQ(msiexec("/x", kInstaller), 0u);
  expectNothingLeft();
}

TEST_F(InstallerTest, UpgradeOverAnOlderVersionKeepsWorkingKeys) {
  ASSERT_EQ(msiexec("/i", kOlderInstaller), 0u);
  EXPECT_EQ(installedProduct(), "Vantro Companion 0.0.1");
  ASSERT_EQ(msiexec("/i", kInstaller), 0u);
  EXPECT_EQ(installedProduct(), std::string("Vantro Companion ") + companion::kVersion);
  expectKeysNameTheInstalledManifests();
  Child version(installDir() / "companion.exe", {"--version"});
  EXPECT_EQ(exitCode(version), 0u);
  EXPECT_EQ(version.output(), std::string("Version: ") + companion::kVersion + "\r\n");

  // The older installer does not go back over the newer one.
  EXPECT_NE(msiexec("/i", kOlderInstaller), 0u);
  EXPECT_EQ(installedProduct(), std::string("Vantro Companion ") + companion::kVersion);
  ASSERT_EQ(msiexec("/x", kInstaller), 0u);
  expectNothingLeft();
}

}  // namespace
}  // namespace companion_test
