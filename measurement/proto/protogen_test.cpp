// The generator: the committed outputs are what it makes from the schema file,
// and it refuses a schema it cannot trust.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "testing/TemporaryHome.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class Generator : public ::testing::Test {
 protected:

  // Runs the generator on a schema file; its exit status, with stderr in *errors.
  int run(const fs::path& schema, const fs::path& out, std::string* errors) {
    fs::path err = dir_ / "stderr";
    std::string command = std::string(TOLV_PYTHON) + " " TOLV_PROTO_DIR "/gen/protogen.py " + schema.string() +
                          " --out " + out.string() + " --nanopb-generator " TOLV_NANOPB_GENERATOR " 2> " +
                          err.string();
    int status = std::system(command.c_str());
    *errors = readFile(err);
    return status;
  }

  testkit::TemporaryHome home_;
  fs::path dir_ = home_.root();
};

TEST_F(Generator, RegeneratingGivesTheCommittedFiles) {
  for (const char* schema : {"measurement.schema", "testdata/kinds.schema"}) {
    SCOPED_TRACE(schema);
    fs::path source = fs::path(TOLV_PROTO_DIR) / schema;
    fs::path out = dir_ / source.stem();
    std::string errors;
    ASSERT_EQ(run(source, out, &errors), 0) << errors;
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(out)) {
      fs::path committed = source.parent_path() / "generated" / entry.path().filename();
      ASSERT_TRUE(fs::exists(committed)) << committed << " is not committed";
      EXPECT_TRUE(readFile(entry.path()) == readFile(committed))
          << committed << " differs from a fresh run of gen/protogen.py";
      ++compared;
    }
    EXPECT_EQ(compared, 7);
  }
}

struct BadSchema {
  const char* what;
  const char* rows;  // after the header, which declares one message
  const char* error;
};

TEST_F(Generator, RefusesASchemaItCannotTrust) {
  const BadSchema cases[] = {
      {"field count", "message A 2\n0 1 0x82 int32 a\n", "A declares 2 fields and lists 1"},
      {"message count", "message A 1\n0 1 0x82 int32 a\nmessage B 1\n0 1 0x82 int32 b\n",
       "'messages' says 1, the file has 2"},
      {"gap in IDs", "message A 2\n0 1 0x82 int32 a\n2 2 0x82 int32 b\n", "field ID 2 where 1 comes next"},
      {"repeated tag", "message A 2\n0 1 0x82 int32 a\n1 1 0x82 int32 b\n", "tag 1 is used by a and b"},
      {"repeated name", "message A 2\n0 1 0x82 int32 a\n1 2 0x2002 string a\n", "field name a is used twice"},
      {"unknown sub-message", "message A 1\n0 1 0x4002 B b\n", "no message B"},
      {"flags disagree with type", "message A 1\n0 1 0x202 int32 a\n", "flag word 0x202 does not match type int32"},
      {"list of an unsupported kind", "message A 1\n0 1 0x28 bool[] a\n", "no list of bool"},
      {"message embedding itself", "message A 1\n0 1 0x4002 A a\n", "embeds itself"},
      {"default on a string", "message A 1\n0 1 0x2002 string a default=x\n", "only a singular scalar"},
      {"reserved word", "message A 1\n0 1 0x82 int32 delete\n", "field name 'delete' is not usable"},
      {"field-ID constants that collide", "message A 2\n0 1 0x82 int32 a_b\n1 2 0x82 int32 aB\n",
       "fields a_b and aB share the constant kAB"},
      {"class file over another output", "classes X C\nmessage A 1\n0 1 0x82 int32 a\n",
       "the file 'C' would overwrite another output"},
  };
  for (const BadSchema& c : cases) {
    SCOPED_TRACE(c.what);
    fs::path schema = dir_ / "bad.schema";
    std::ofstream(schema) << "package p\ncode C\ngenerated g\nmessages 1\n" << c.rows;
    std::string errors;
    EXPECT_NE(run(schema, dir_ / "bad", &errors), 0);
    EXPECT_NE(errors.find(c.error), std::string::npos) << errors;
    EXPECT_FALSE(fs::exists(dir_ / "bad")) << "nothing is written";
  }
}

}  // namespace
