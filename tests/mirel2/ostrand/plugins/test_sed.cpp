// Test builds of the shared-encoder tool plug-in: a working one that reports fixed answers, one without the
// entry point, and one whose entry point hands out no table.
#include <cstdlib>
#include <cstring>

#include "mirel2/ostrand/shared_enc_dep.h"

namespace {

char* copy(const char* s) {
  const std::size_t n = std::strlen(s) + 1;
  char* out = static_cast<char*>(std::malloc(n));
  std::memcpy(out, s, n);
  return out;
}

int base_sha256_of(const char* deps, char** sha, char** error) {
  if (deps == nullptr) return 0;
  if (std::strcmp(deps, "\"fail\"") == 0) {
    *error = copy("cannot read dependencies");
    return 1;
  }
  *sha = copy(deps);
  return 0;
}
int dependency_store_dirs(char** dirs, char**) {
  *dirs = copy("/store");
  return 0;
}
int store_candidates(const char* sha, const char* dirs, char** paths, char**) {
  // "<dirs>/<sha>\0<dirs>/x\0\0"
  const std::size_t a = std::strlen(dirs) + 1 + std::strlen(sha), b = std::strlen(dirs) + 2;
  char* block = static_cast<char*>(std::calloc(a + 1 + b + 1 + 1, 1));
  std::strcpy(block, dirs), std::strcat(block, "/"), std::strcat(block, sha);
  std::strcpy(block + a + 1, dirs), std::strcat(block + a + 1, "/x");
  *paths = block;
  return 0;
}
int verify_base(const char* path, const char*, int* matches, char**) {
  *matches = std::strstr(path, "good") != nullptr;
  return 0;
}
void free_text(char* text) { std::free(text); }

const SharedEncDepApi API = {SHARED_ENC_DEP_ABI, "test-shared-enc", base_sha256_of, dependency_store_dirs,
                             store_candidates,   verify_base,       free_text};

}  // namespace

#if defined(TEST_SED_good)
extern "C" const SharedEncDepApi* shared_enc_dep_api(void) { return &API; }
#elif defined(TEST_SED_notable)
extern "C" const SharedEncDepApi* shared_enc_dep_api(void) { return nullptr; }
#else
extern "C" const SharedEncDepApi* some_other_name(void) { return &API; }
#endif
