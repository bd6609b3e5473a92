// companion-doctor.exe under Wine: the keys register.cmd writes, found in the
// order each browser reads them, a key that names a missing manifest,
// manifests judged as the browsers judge them without crashing on any, and
// the registry as the browsers read it: their policies in every form, the
// keys' values, and what keeps the command prompt or the program from running.
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

TEST_F(DoctorTest, FindsTheLogInAFolderWhoseNameEndsInASpace) {
  const TracedRuntimeCalls traced;
  useSuffix(freshSuffix("d") + " ");
  Child companion(program(), {});
  EXPECT_EQ(exitCode(companion), 240u);
  DWORD code = 0;
  std::string status;
  const std::string line = lineFor(doctor(code), "log", status);
  EXPECT_EQ(status, "ok");
  EXPECT_NE(line.find(logDirText() + "/companion.log, "), std::string::npos) << line;
}

// A registry value in Wine's registry: a REG_DWORD, or with text one of the
// type, "@DIR@" in it the program's folder. A list policy's item is a value
// "1" of the subkey of the policy's name. Written as a 64-bit program does,
// unless the row says which view.
struct PolicySetting {
  HKEY root;
  const char* key;
  const char* name;
  DWORD number;
  const char* text;
  DWORD type = REG_SZ;
  REGSAM view = KEY_WOW64_64KEY;
};

struct PolicyCase {
  const char* name;
  std::vector<PolicySetting> settings;
  std::optional<std::wstring> comspec;  // the doctor's ComSpec: empty for none; unchanged without
  const char* expected;                 // a line of the report starts so ("@DIR@" filled in)
  const char* absent;                   // and none so
  DWORD code = 0;                       // the doctor's exit code
};

constexpr char kChromePolicy[] = "Software\\Policies\\Google\\Chrome";
constexpr char kChromiumPolicy[] = "Software\\Policies\\Chromium";
constexpr char kEdgePolicy[] = "Software\\Policies\\Microsoft\\Edge";
constexpr char kBravePolicy[] = "Software\\Policies\\BraveSoftware\\Brave";
constexpr char kSystemPolicy[] = "Software\\Policies\\Microsoft\\Windows\\System";
constexpr char kAppLocker[] = "Software\\Policies\\Microsoft\\Windows\\SrpV2";
constexpr char kChromeHost[] = "Software\\Google\\Chrome\\NativeMessagingHosts\\com.vantro.companion";
constexpr char kChromiumHost[] = "Software\\Chromium\\NativeMessagingHosts\\com.vantro.companion";
constexpr char kLayers[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";

const PolicyCase kPolicyCases[] = {
    {"UserLevelHostsFalseIgnoresThePerUserKeys",
     {{HKEY_CURRENT_USER, kChromePolicy, "NativeMessagingUserLevelHosts", 0, nullptr}},
     std::nullopt,
     "problem\tbrowser chrome\tNativeMessagingUserLevelHosts is false (HKCU\\Software\\Policies\\Google\\Chrome "
     "(NativeMessagingUserLevelHosts)): the browser ignores the per-user registration "
     "HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\com.vantro.companion (32-bit view)",
     "ok\tbrowser chrome\t"},
    // registry_dict.cc converts "0" and "1" to booleans.
    {"UserLevelHostsAsTextIsABoolean",
     {{HKEY_CURRENT_USER, kChromePolicy, "NativeMessagingUserLevelHosts", 0, "0"}},
     std::nullopt, "problem\tbrowser chrome\tNativeMessagingUserLevelHosts is false", "ok\tbrowser chrome\t"},
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
    {"FirefoxBlocklistBlocks",
     {{HKEY_LOCAL_MACHINE, "Software\\Policies\\Mozilla\\Firefox\\NativeMessagingBlocklist", "1", 0, "*"}},
     std::nullopt, "problem\tbrowser firefox\tNativeMessagingBlocklist [*] (HKLM\\Software\\Policies\\Mozilla\\Firefox",
     "ok\tbrowser firefox\t"},
    {"RelativeManifestPathIsRefused",
     {{HKEY_CURRENT_USER, kChromeHost, "", 0, "com.vantro.companion.chrome.json"}},
     std::nullopt,
     "problem\tbrowser chrome\tHKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\com.vantro.companion (32-bit "
     "view) names com.vantro.companion.chrome.json: a relative path",
     "ok\tbrowser chrome\t"},
    {"ExpandableManifestPathIsExpanded",
     {{HKEY_CURRENT_USER, kChromeHost, "", 0, "%DOCTOR_TEST_DIR%\\com.vantro.companion.chrome.json", REG_EXPAND_SZ}},
     std::nullopt, "ok\tbrowser chrome\tuses @DIR@\\com.vantro.companion.chrome.json", "note\tbrowser chrome\t"},
    // Chromium reads its key, then Chrome's, in the 32-bit view before the 64-bit view.
    {"ChromiumTakesChromesKeyInThe32BitViewFirst",
     {{HKEY_LOCAL_MACHINE, kChromiumPolicy, "NativeMessagingUserLevelHosts", 0, nullptr},
      {HKEY_LOCAL_MACHINE, kChromiumHost, "", 0, "@DIR@\\missing.json"},
      {HKEY_LOCAL_MACHINE, kChromeHost, "", 0, "@DIR@\\com.vantro.companion.chrome.json", REG_SZ, KEY_WOW64_32KEY}},
     std::nullopt, "ok\tbrowser chromium\tuses @DIR@\\com.vantro.companion.chrome.json (from HKLM\\" "Software\\Google",
     "problem\tbrowser chromium\t"},
    {"UnsetComSpecStopsTheChromeFamily", {}, std::wstring(),
     "problem\tcomspec\tComSpec is not set", "ok\tbrowser chrome\t"},
    {"ComSpecOfAMissingProgramStopsTheChromeFamily", {}, std::wstring(L"C:\\nowhere\\cmd.exe"),
     "problem\tcomspec\tComSpec names C:\\nowhere\\cmd.exe, which is missing", "ok\tbrowser edge\t"},
    {"DisableCmdOneStopsTheChromeFamily", {{HKEY_CURRENT_USER, kSystemPolicy, "DisableCMD", 1, nullptr}},
     std::nullopt, "problem\tcomspec\tDisableCMD is 1", "ok\tbrowser chrome\t"},
    {"DisableCmdTwoKeepsScripts", {{HKEY_CURRENT_USER, kSystemPolicy, "DisableCMD", 2, nullptr}},
     std::nullopt, "ok\tcomspec\t", "problem\tcomspec\t"},
    {"LaunchingDirectlyPassesTheCommandPrompt",
     {{HKEY_CURRENT_USER, kSystemPolicy, "DisableCMD", 1, nullptr},
      {HKEY_LOCAL_MACHINE, kEdgePolicy, "NativeHostsExecutablesLaunchDirectly", 1, nullptr}},
     std::nullopt, "ok\tbrowser edge\tuses ", "problem\tbrowser edge\t"},
    {"CommandPromptRunAsAdministratorStopsTheChromeFamily",
     {{HKEY_CURRENT_USER, kLayers, "C:\\windows\\system32\\cmd.exe", 0, "~ RUNASADMIN"}},
     std::wstring(L"C:\\windows\\system32\\cmd.exe"),
     "problem\tcomspec\tComSpec names C:\\windows\\system32\\cmd.exe, which is to run as administrator",
     "ok\tbrowser chrome\t"},
    {"AppLockerBlocksAProgramInTheProfile",
     {{HKEY_LOCAL_MACHINE, "Software\\Policies\\Microsoft\\Windows\\SrpV2\\Exe\\rule", "Value", 0, "<FilePathRule/>"},
      {HKEY_LOCAL_MACHINE, "Software\\Policies\\Microsoft\\Windows\\SrpV2\\Exe", "EnforcementMode", 1, nullptr}},
     std::nullopt,
     "problem\tbrowser firefox\t@DIR@\\com.vantro.companion.firefox.json starts @DIR@\\companion.exe, which lies in "
     "your profile",
     "ok\tbrowser", 1},
};

class DoctorPolicyTest : public DoctorTest, public ::testing::WithParamInterface<PolicyCase> {
 protected:
  void TearDown() override {
    for (const char* key : {kChromePolicy, kChromiumPolicy, kEdgePolicy, kBravePolicy, kSystemPolicy, kAppLocker,
                            "Software\\Policies\\Mozilla", kChromeHost, kChromiumHost}) {
      for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) deleteTree(root, key, view);
      }
    }
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kLayers, "C:\\windows\\system32\\cmd.exe");
    DoctorTest::TearDown();
  }
  static void deleteTree(HKEY root, const char* key, REGSAM view) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, key, 0, KEY_ALL_ACCESS | view, &opened) != ERROR_SUCCESS) return;
    RegDeleteTreeA(opened, nullptr);
    RegCloseKey(opened);
    RegDeleteKeyExA(root, key, view, 0);
  }
  // The text with "@DIR@" made the program's folder.
  std::string filled(std::string text) const {
    for (size_t at = text.find("@DIR@"); at != std::string::npos; at = text.find("@DIR@", at)) {
      text.replace(at, 5, programDir_.string());
    }
    return text;
  }
  void write(const PolicySetting& setting) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(setting.root, setting.key, 0, nullptr, 0, KEY_SET_VALUE | setting.view, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS)
        << setting.key;
    const std::string text = setting.text != nullptr ? filled(setting.text) : std::string();
    const LSTATUS result =
        setting.text != nullptr
            ? RegSetValueExA(key, setting.name, 0, setting.type, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1))
            : RegSetValueExA(key, setting.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&setting.number),
                             sizeof(DWORD));
    RegCloseKey(key);
    ASSERT_EQ(result, ERROR_SUCCESS) << setting.key;
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
  for (const PolicySetting& setting : row.settings) write(setting);
  if (row.comspec) useComSpec(*row.comspec);
  SetEnvironmentVariableW(L"DOCTOR_TEST_DIR", programDir_.wstring().c_str());
  const auto agent = startAgent({"--echo"});
  DWORD code = 0;
  const std::string report = "\n" + doctor(code);
  EXPECT_NE(report.find("\n" + filled(row.expected)), std::string::npos) << report;
  EXPECT_EQ(report.find(std::string("\n") + row.absent), std::string::npos) << report;
  EXPECT_EQ(code, row.code) << report;
}

void PrintTo(const PolicyCase& row, std::ostream* out) { *out << row.name; }

INSTANTIATE_TEST_SUITE_P(Policies, DoctorPolicyTest, ::testing::ValuesIn(kPolicyCases),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace companion_test
