// Prints every exit code of the companion with its meaning, one "code<TAB>meaning" line each, for the docs' check.
#include <cstdio>
#include <cstring>

#include "return_codes.h"

int main() {
  const char* none = companion::returnCodeMeaning(-1);
  for (int code = 0; code < 256; ++code) {
    const char* meaning = companion::returnCodeMeaning(code);
    if (std::strcmp(meaning, none) != 0) std::printf("%d\t%s\n", code, meaning);
  }
  return 0;
}
