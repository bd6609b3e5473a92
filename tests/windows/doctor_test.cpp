// companion-doctor.exe under Wine: the keys register.cmd writes, found in the
// order each browser reads them, and a key that names a missing manifest.
#include "fixture.h"

namespace companion_test {
namespace {

constexpr char kChromeId[] = "abcdefghijklmnopabcdefghijklmnop";
constexpr char kHostKey[] = "\\NativeMessagingHosts\\com.vantro.companion";

class DoctorTest : public CompanionTest {
 protected:
  void SetUp() override {
    CompanionTest::SetUp();
    for (const char* file : {"companion-doctor.exe", "register.cmd"}) {
      fs::copy_file(testProgramDir() / file, programDir_ / file, fs::copy_options::overwrite_existing);
    }
  }
  void TearDown() override {
    EXPECT_EQ(runRegister({"/unregister"}), 0u);
    CompanionTest::TearDown();
  }
  DWORD runRegister(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"/c", (programDir_ / "register.cmd").string()};
    args.insert(args.end(), options.begin(), options.end());
    Child script(fs::path(L"C:\\windows\\system32\\cmd.exe"), args);
    return exitCode(script);
  }
  // The doctor's report, and its exit code in code.
  std::string doctor(DWORD& code) {
    Child doctor(programDir_ / "companion-doctor.exe", {});
    code = exitCode(doctor);
    return doctor.output();
  }
  std::string place(const char* key) const { return std::string("HKCU\\") + key + kHostKey + " (32-bit view)"; }
};

TEST_F(DoctorTest, FindsTheRegisteredKeysInTheOrderTheBrowsersReadThem) {
  ASSERT_EQ(runRegister({"/chrome", kChromeId, "/firefox", "doctor@companion.vantro"}), 0u);
  const auto agent = startAgent({"--echo"});
  DWORD code = 0;
  std::string report = doctor(code);
  EXPECT_EQ(code, 0u) << report;
  const std::string chromeManifest = (programDir_ / "com.vantro.companion.chrome.json").string();
  EXPECT_NE(report.find("ok\tbrowser chrome\tuses " + chromeManifest + " (from " + place("Software\\Google\\Chrome")),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("(from " + place("Software\\Microsoft\\Edge")), std::string::npos) << report;
  EXPECT_NE(report.find("ok\tagent\t" + pipeName() + " exists"), std::string::npos) << report;

  // Without its own key, Edge takes Chromium's next.
  ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Edge\\NativeMessagingHosts\\com.vantro.companion"),
            ERROR_SUCCESS);
  fs::remove(programDir_ / "com.vantro.companion.firefox.json");
  report = doctor(code);
  EXPECT_NE(report.find("ok\tbrowser edge\tuses " + chromeManifest + " (from " + place("Software\\Chromium")),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("problem\tbrowser firefox\t" + place("Software\\Mozilla") + " names "), std::string::npos)
      << report;
  EXPECT_NE(report.find("which does not exist"), std::string::npos) << report;
}

TEST_F(DoctorTest, NoAgentAndNoRegistrationIsUnhealthy) {
  DWORD code = 0;
  const std::string report = doctor(code);
  EXPECT_EQ(code, 1u);
  EXPECT_NE(report.find("note\tbrowser chrome\tno manifest in " + place("Software\\Google\\Chrome")),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("problem\tagent\tnothing serves " + pipeName()), std::string::npos) << report;
}

}  // namespace
}  // namespace companion_test
