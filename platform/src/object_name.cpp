#include "plat/object_name.h"

#include <unistd.h>

#include <cstdlib>

namespace plat {
namespace {

constexpr const char* kNamespaceVar = "DRAL_IPC_NAMESPACE";
constexpr const char* kLocalPrefix = "Local\\";

}  // namespace

std::string PosixObjectName(const std::string& name) {
  std::string body = name;
  if (body.compare(0, std::char_traits<char>::length(kLocalPrefix), kLocalPrefix) == 0) {
    body = "Local\\" + std::to_string(getuid()) + "\\" +
           body.substr(std::char_traits<char>::length(kLocalPrefix));
  }
  for (char& c : body) {
    if (c == '\\' || c == '/') c = '.';  // a POSIX object name holds no further "/"
    else if (c == ' ') c = '_';
  }
  const char* ns = std::getenv(kNamespaceVar);
  return "/" + std::string(ns ? ns : "") + body;
}

}  // namespace plat
