#include "tests/support/temp_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace apns_test {

TempDir::TempDir(std::string_view aPrefix) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string(aPrefix) + ".XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  ::chmod(pattern.c_str(), 0755);
  path_ = pattern;
}

TempDir::~TempDir() {
  // A destructor must not throw; a folder that cannot be removed is left in
  // the temp folder, which is harmless.
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& aPath, std::string_view aContent) {
  std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
  out.write(aContent.data(), static_cast<std::streamsize>(aContent.size()));
  if (!out) throw std::runtime_error("cannot write " + aPath);
}

}  // namespace apns_test
