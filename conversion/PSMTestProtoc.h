// protoc over the generated psm.proto, for tests: an encoder and decoder of
// the PSM messages that shares no code with ours.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "testing/TemporaryHome.h"

class PSMProtoc {
 public:
  // Text format to bytes.
  std::string encode(const std::string& message, const std::string& text) {
    return run("--encode=psm." + message + " psm.proto", text);
  }
  // Bytes to text format.
  std::string decode(const std::string& message, const std::string& bytes) {
    return run("--decode=psm." + message + " psm.proto", bytes);
  }

  // Octal escapes only, which every text-format reader takes.
  static std::string quoted(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\%03o", c);
      out += escape;
    }
    return out + "\"";
  }

 private:
  std::string run(const std::string& arguments, const std::string& input) {
    std::filesystem::path dir = home_.root();
    std::filesystem::path in = dir / "in", out = dir / "out", err = dir / "err";
    std::ofstream(in, std::ios::binary) << input;
    std::string command = std::string(TOLV_PROTOC) + " -I " TOLV_CONVERSION_DIR "/generated " + arguments + " < " +
                          in.string() + " > " + out.string() + " 2> " + err.string();
    int status = std::system(command.c_str());
    std::ifstream errors(err);
    std::stringstream message;
    message << errors.rdbuf();
    EXPECT_EQ(status, 0) << command << "\n" << message.str();
    std::ifstream result(out, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(result), std::istreambuf_iterator<char>());
  }

  testkit::TemporaryHome home_;
};
