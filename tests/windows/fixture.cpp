// The Windows fixture's helpers.
#include "fixture.h"

#include <bcrypt.h>

#include <algorithm>
#include <cstdio>

#include "utf8_win.h"

namespace companion_test {

fs::path testProgramDir() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(path).parent_path();
}

std::string sha1Hex(const std::string& text) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  UCHAR digest[20] = {};
  BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0);
  BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
  BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(text.data())), static_cast<ULONG>(text.size()), 0);
  BCryptFinishHash(hash, digest, sizeof digest, 0);
  BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  std::string hex;
  for (UCHAR byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

std::string localAppData() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", path, MAX_PATH);
  return companion::wideToUtf8(path, length < MAX_PATH ? length : 0);
}

bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

DWORD exitCode(Child& child) {
  const std::optional<DWORD> code = child.wait(kTimeout);
  EXPECT_TRUE(code.has_value()) << "still running after " << kTimeout.count() << " s";
  return code.value_or(STILL_ACTIVE);
}

void roundTrip(Child& companion, const std::string& bytes) {
  const size_t before = companion.output().size();
  ASSERT_TRUE(companion.write(bytes));
  ASSERT_TRUE(companion.waitForOutput(before + bytes.size(), kTimeout));
  EXPECT_EQ(companion.output().substr(before), bytes);
  // Let the socket pump block in its next read, as it does between messages.
  Sleep(100);
}

size_t firstDifference(const std::string& a, const std::string& b) {
  const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return mismatch.first == a.end() && mismatch.second == b.end() ? std::string::npos
                                                                  : static_cast<size_t>(mismatch.first - a.begin());
}

}  // namespace companion_test
