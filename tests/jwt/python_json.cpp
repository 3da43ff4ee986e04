#include "tests/jwt/python_json.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

// Texts travel hex-encoded, one per line, so any octet survives.
const char* const kScript = R"(
import json, sys
def reject(name):
    raise ValueError("non-standard constant " + name)
out = []
for line in open(sys.argv[1]):
    text = bytes.fromhex(line.strip()).decode("utf-8", errors="strict") if line.strip() else ""
    try:
        value = json.loads(text, parse_constant=reject)
        out.append("OK " + json.dumps(value, sort_keys=True, ensure_ascii=True))
    except Exception as e:
        out.append("ERROR " + str(e).replace("\n", " "))
sys.stdout.write("\n".join(out) + "\n")
)";

std::string Hex(const std::string& aText) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char c : aText) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

}  // namespace

std::optional<std::vector<TPythonJSONResult>> ParseWithPython(const std::vector<std::string>& aTexts) {
  const apns_test::TempDir folder("json-python");
  const std::string script = folder.File("check.py");
  const std::string input = folder.File("texts.hex");
  std::ofstream(script) << kScript;
  {
    std::ofstream in(input);
    for (const std::string& text : aTexts) in << Hex(text) << '\n';
  }
  std::optional<std::vector<TPythonJSONResult>> results;
  // Anything on its error output counts as a line too, so that it shows up
  // as a mismatch of the line count instead of passing unseen.
  const apns_test::CommandResult run = apns_test::RunCommand({"python3", script, input},
                                                             std::chrono::seconds(60));
  if (run.exit_code == 0) {
    results.emplace();
    std::istringstream lines(run.out + run.err);
    for (std::string line; std::getline(lines, line);) {
      const bool ok = line.rfind("OK ", 0) == 0;
      results->push_back({ok, line.substr(ok ? 3 : 6)});
    }
    if (results->size() != aTexts.size()) results.reset();
  }
  return results;
}
