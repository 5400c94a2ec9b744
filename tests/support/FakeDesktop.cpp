#include "testsupport/FakeDesktop.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace dral_test {
namespace fs = std::filesystem;
namespace {

// One file per call, one argument per line; written under a hidden name and renamed, so a
// reader sees a call only once it is complete.
constexpr const char* kOpener =
    "#!/bin/sh\n"
    "d=\"$(dirname \"$0\")/calls\"\n"
    "f=$(mktemp \"$d/.call.XXXXXX\") || exit 1\n"
    "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$f\"\n"
    "mv \"$f\" \"$d/${f##*/.}\"\n";

}  // namespace

FakeDesktopOpener::FakeDesktopOpener(const std::string& dir) : callDir_(dir + "/calls") {
  fs::create_directories(callDir_);
  WriteFile(dir + "/xdg-open", kOpener, fs::perms::owner_all);
  if (const char* p = std::getenv("PATH")) path_ = p;
  const std::string path = path_ ? dir + ":" + *path_ : dir;
  setenv("PATH", path.c_str(), 1);
}

FakeDesktopOpener::~FakeDesktopOpener() {
  if (path_) {
    setenv("PATH", path_->c_str(), 1);
  } else {
    unsetenv("PATH");
  }
}

std::vector<std::vector<std::string>> FakeDesktopOpener::Calls() const {
  std::vector<std::vector<std::string>> calls;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(callDir_, ec)) {
    if (entry.path().filename().string().front() == '.') continue;
    std::istringstream text(ReadFile(entry.path().string()));
    std::vector<std::string> args;
    for (std::string line; std::getline(text, line);) args.push_back(line);
    calls.push_back(std::move(args));
  }
  std::sort(calls.begin(), calls.end());
  return calls;
}

bool FakeDesktopOpener::WaitForCalls(size_t count, int timeoutMs) const {
  return WaitUntil([&] { return Calls().size() >= count; }, timeoutMs);
}

}  // namespace dral_test
