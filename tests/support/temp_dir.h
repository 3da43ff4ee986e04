// Temporary folders and whole-file reading and writing for tests.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace apns_test {

// A fresh folder under the system's temp folder ($TMPDIR or /tmp), removed
// with its contents when the object goes. Mode 0755, so that a peer running
// as another user (nginx's workers) can read what a test puts there.
class TempDir {
 public:
  // aPrefix names the folder ("<prefix>.XXXXXX"), which helps when one is left
  // behind by a crashed test.
  explicit TempDir(std::string_view aPrefix = "apns-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of aName inside the folder (it need not exist).
  std::string File(std::string_view aName) const { return (path_ / aName).string(); }

 private:
  std::filesystem::path path_;
};

// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& aPath);
// Replaces the file's content; throws std::runtime_error when it cannot.
void WriteFile(const std::string& aPath, std::string_view aContent);

}  // namespace apns_test
