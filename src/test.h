// Helpers shared by the tests: run a command function and capture what it
// prints.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

struct CommandResult {
  int code;
  std::string out;
  std::string err;
};

typedef int (*CommandFunction)(int argc, const char* const argv[]);

inline CommandResult runCommand(CommandFunction command, const std::vector<std::string>& args) {
  std::vector<const char*> argv{"cmd"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int code = command((int)args.size() + 1, argv.data());
  fflush(stdout);
  fflush(stderr);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  return {code, out, err};
}

inline std::string narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}
