// companion-doctor.exe under Wine: the keys register.cmd writes, found in the
// order each browser reads them, a key that names a missing manifest,
// manifests judged as the browsers judge them without crashing on any, and
// the browsers' policies and ComSpec.
#include "fixture.h"

#include <cstring>
#include <optional>

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
  // The keys go by the registry's own calls: /unregister reads values through
  // reg.exe's output, which Wine gives no place when cmd.exe runs detached,
  // as the stand-in browser starts it (browser.windows_register tests it).
  void TearDown() override {
    for (const char* key : {"Software\\Google\\Chrome", "Software\\Chromium", "Software\\Microsoft\\Edge",
                            "Software\\BraveSoftware\\Brave-Browser", "Software\\Mozilla"}) {
      RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(key) + kHostKey).c_str());
    }
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

// The report's line for the area, without its status.
std::string lineFor(const std::string& report, const std::string& area, std::string& status) {
  const size_t at = report.find("\t" + area + "\t");
  if (at == std::string::npos) return std::string();
  const size_t start = report.rfind('\n', at) == std::string::npos ? 0 : report.rfind('\n', at) + 1;
  status = report.substr(start, at - start);
  return report.substr(at, report.find('\n', at) - at);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

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

TEST_F(DoctorTest, JudgesEachManifestAsTheBrowsersDo) {
  ASSERT_EQ(runRegister({"/chrome", kChromeId}), 0u);
  const fs::path manifest = programDir_ / "com.vantro.companion.chrome.json";
  const std::string valid = readFile(manifest);
  struct Case {
    const char* name;
    std::string text;
    const char* status;
    const char* words;
  };
  const Case cases[] = {
      {"as register.cmd writes it, the program beside it", valid, "ok", "uses "},
      {"a UTF-8 byte-order mark, as Notepad writes it", "\xEF\xBB\xBF" + valid, "ok", "uses "},
      // std::regex overflowed the stack on such a name.
      {"a name of 200000 letters", replaced(valid, "com.vantro.companion", std::string(200000, 'a')), "problem",
       "\"name\" must be"},
      {"arrays nested 100000 deep",
       replaced(valid, "\"type\"", "\"x\": " + std::string(100000, '[') + std::string(100000, ']') + ", \"type\""),
       "problem", "nested deeper than 199"},
      {"another program", replaced(valid, "\"companion.exe\"", "\"C:\\\\windows\\\\system32\\\\cmd.exe\""), "problem",
       "not this companion"},
      {"a folder as the program", replaced(valid, "\"companion.exe\"", "\".\""), "problem", "which is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(manifest, c.text);
    DWORD code = 0;
    const std::string report = doctor(code);
    std::string status;
    const std::string line = lineFor(report, "browser chrome", status);
    EXPECT_EQ(status, c.status) << report;
    EXPECT_NE(line.find(c.words), std::string::npos) << report;
  }
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

// A policy value in Wine's registry: a REG_DWORD, or with text an item of a
// list policy (the subkey of the policy's name, value "1").
struct PolicySetting {
  HKEY root;
  const char* key;
  const char* name;
  DWORD number;
  const char* text;
};

struct PolicyCase {
  const char* name;
  std::vector<PolicySetting> settings;
  std::optional<std::wstring> comspec;  // the doctor's ComSpec: empty for none; unchanged without
  const char* expected;                 // a line of the report starts so
  const char* absent;                   // and none so
};

constexpr char kChromePolicy[] = "Software\\Policies\\Google\\Chrome";
constexpr char kChromiumPolicy[] = "Software\\Policies\\Chromium";
constexpr char kEdgePolicy[] = "Software\\Policies\\Microsoft\\Edge";
constexpr char kBravePolicy[] = "Software\\Policies\\BraveSoftware\\Brave";

const PolicyCase kPolicyCases[] = {
    {"UserLevelHostsFalseIgnoresThePerUserKeys",
     {{HKEY_CURRENT_USER, kChromePolicy, "NativeMessagingUserLevelHosts", 0, nullptr}},
     std::nullopt,
     "problem\tbrowser chrome\tNativeMessagingUserLevelHosts is false (HKCU\\Software\\Policies\\Google\\Chrome "
     "(NativeMessagingUserLevelHosts)): the browser ignores the per-user registration "
     "HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\com.vantro.companion (32-bit view)",
     "ok\tbrowser chrome\t"},
    {"BlocklistOfEveryHostBlocks",
     {{HKEY_LOCAL_MACHINE, "Software\\Policies\\Chromium\\NativeMessagingBlocklist", "1", 0, "*"}},
     std::nullopt,
     "problem\tbrowser chromium\tNativeMessagingBlocklist [*] "
     "(HKLM\\Software\\Policies\\Chromium\\NativeMessagingBlocklist) blocks com.vantro.companion",
     "ok\tbrowser chromium\t"},
    {"AllowlistLetsTheHostThrough",
     {{HKEY_LOCAL_MACHINE, "Software\\Policies\\Microsoft\\Edge\\NativeMessagingBlocklist", "1", 0, "*"},
      {HKEY_CURRENT_USER, "Software\\Policies\\Microsoft\\Edge\\NativeMessagingAllowlist", "1", 0,
       "com.vantro.companion"}},
     std::nullopt,
     "note\tbrowser edge\tNativeMessagingBlocklist [*] (HKLM\\Software\\Policies\\Microsoft\\Edge\\"
     "NativeMessagingBlocklist) blocks it, but NativeMessagingAllowlist (HKCU\\Software\\Policies\\Microsoft\\"
     "Edge\\NativeMessagingAllowlist) allows com.vantro.companion",
     "problem\tbrowser edge\t"},
    {"MachinePolicyWinsOverTheUsers",
     {{HKEY_LOCAL_MACHINE, kBravePolicy, "NativeMessagingUserLevelHosts", 1, nullptr},
      {HKEY_CURRENT_USER, kBravePolicy, "NativeMessagingUserLevelHosts", 0, nullptr}},
     std::nullopt, "ok\tbrowser brave\tuses ", "problem\tbrowser brave\t"},
    {"UnsetComSpecStopsTheChromeFamily", {}, std::wstring(),
     "problem\tcomspec\tComSpec is not set", "ok\tbrowser chrome\t"},
    {"ComSpecOfAMissingProgramStopsTheChromeFamily", {}, std::wstring(L"C:\\nowhere\\cmd.exe"),
     "problem\tcomspec\tComSpec names C:\\nowhere\\cmd.exe, which is missing", "ok\tbrowser edge\t"},
};

class DoctorPolicyTest : public DoctorTest, public ::testing::WithParamInterface<PolicyCase> {
 protected:
  void TearDown() override {
    for (const char* key : {kChromePolicy, kChromiumPolicy, kEdgePolicy, kBravePolicy}) {
      for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) RegDeleteTreeA(root, key);
    }
    DoctorTest::TearDown();
  }
  // Sets the doctor's ComSpec for the test; restored when the test ends.
  void useComSpec(const std::wstring& value) {
    wchar_t saved[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"ComSpec", saved, MAX_PATH) > 0) savedComSpec_ = saved;
    SetEnvironmentVariableW(L"ComSpec", value.empty() ? nullptr : value.c_str());
  }
  ~DoctorPolicyTest() override {
    if (savedComSpec_) SetEnvironmentVariableW(L"ComSpec", savedComSpec_->c_str());
  }

  std::optional<std::wstring> savedComSpec_;
};

TEST_P(DoctorPolicyTest, ReportsWhatThePolicyMakesOfTheRegistration) {
  const PolicyCase& row = GetParam();
  ASSERT_EQ(runRegister({"/chrome", kChromeId, "/firefox", "doctor@companion.vantro"}), 0u);
  for (const PolicySetting& setting : row.settings) {
    const LSTATUS result =
        setting.text != nullptr
            ? RegSetKeyValueA(setting.root, setting.key, setting.name, REG_SZ, setting.text,
                              static_cast<DWORD>(std::strlen(setting.text) + 1))
            : RegSetKeyValueA(setting.root, setting.key, setting.name, REG_DWORD, &setting.number, sizeof(DWORD));
    ASSERT_EQ(result, ERROR_SUCCESS) << setting.key;
  }
  if (row.comspec) useComSpec(*row.comspec);
  const auto agent = startAgent({"--echo"});
  DWORD code = 0;
  const std::string report = "\n" + doctor(code);
  EXPECT_NE(report.find(std::string("\n") + row.expected), std::string::npos) << report;
  EXPECT_EQ(report.find(std::string("\n") + row.absent), std::string::npos) << report;
  // Firefox starts the host either way.
  EXPECT_EQ(code, 0u) << report;
}

void PrintTo(const PolicyCase& row, std::ostream* out) { *out << row.name; }

INSTANTIATE_TEST_SUITE_P(Policies, DoctorPolicyTest, ::testing::ValuesIn(kPolicyCases),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace companion_test
