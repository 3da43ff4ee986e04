// Parses texts with python3's json module, a strict parser nobody here wrote.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TPythonJSONResult {
  bool Valid = false;
  // The parsed value dumped with sorted keys and ASCII escapes, so equal
  // values give equal texts; the parser's error message when not valid.
  std::string Canonical;
};

// One result per text, in order; nothing when python3 cannot be run.
std::optional<std::vector<TPythonJSONResult>> ParseWithPython(const std::vector<std::string>& aTexts);
