#include "tls/IdSSL.h"

std::string IdURIHost(const std::string& AURI) {
  std::string rest = AURI;
  if (const size_t scheme = rest.find("://"); scheme != std::string::npos) rest.erase(0, scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const size_t at = rest.rfind('@'); at != std::string::npos) rest.erase(0, at + 1);
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    return close == std::string::npos ? rest.substr(1) : rest.substr(1, close - 1);
  }
  return rest.substr(0, rest.find(':'));
}
