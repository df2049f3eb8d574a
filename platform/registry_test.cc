#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/files.h"

namespace platform {
namespace {

const char* const kExport =
  "Windows Registry Editor Version 5.00\r\n\r\n"
  "[HKEY_LOCAL_MACHINE\\Software\\Acme\\Tool]\r\n"
  "\"InstallDir\"=\"C:\\\\Program Files\\\\Tool\"\r\n"
  "@=\"default data\"\r\n"
  "\"Empty\"=\"\"\r\n"
  "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
  "\"InstallDir\"=\"elsewhere\"\r\n";

TEST(RegistryTest, ReadsTheExportForm) {
  ExportedRegistry registry(kExport);
  EXPECT_TRUE(registry.keyExists(kHkeyLocalMachine, "software\\ACME\\Tool")) << "names ignore case";
  EXPECT_FALSE(registry.keyExists(kHkeyLocalMachine, "Software\\Acme"));
  std::string data;
  ASSERT_TRUE(registry.readValue(kHkeyLocalMachine, "Software\\Acme\\Tool", "InstallDir", &data));
  EXPECT_EQ(data, "C:\\Program Files\\Tool");
  ASSERT_TRUE(registry.readValue(kHkeyLocalMachine, "Software\\Acme\\Tool", "", &data));
  EXPECT_EQ(data, "default data");
  ASSERT_TRUE(registry.readValue(kHkeyLocalMachine, "Software\\Acme\\Tool", "Empty", &data));
  EXPECT_EQ(data, "");
  EXPECT_FALSE(registry.readValue(kHkeyLocalMachine, "Software\\Acme\\Tool", "Missing", &data));
  EXPECT_FALSE(registry.keyExists(0x80000001u, "Software\\Acme\\Tool")) << "another root";
}

#ifdef _WIN32
TEST(RegistryTest, ReadsTheSystemRegistry) {
  SystemRegistry registry;
  EXPECT_TRUE(registry.keyExists(kHkeyLocalMachine, "Software"));
  EXPECT_FALSE(registry.keyExists(kHkeyLocalMachine, "Software\\Surely\\Not\\There"));
  std::string data;
  EXPECT_FALSE(registry.readValue(kHkeyLocalMachine, "Software", "surely-no-such-value", &data));
}
#else
TEST(RegistryTest, TheSystemRegistryIsTheExportFileNamedByTheEnvironment) {
  const std::string path = ::testing::TempDir() + "registry.reg";
  ASSERT_TRUE(SystemFileSystem().writeWholeFile(path, kExport));
  SystemRegistry registry;
  ::setenv("VERDELIN_REGISTRY", path.c_str(), 1);
  EXPECT_TRUE(registry.keyExists(kHkeyLocalMachine, "Software\\Acme\\Tool"));
  std::string data;
  ASSERT_TRUE(registry.readValue(kHkeyLocalMachine, "Software\\Other", "InstallDir", &data));
  EXPECT_EQ(data, "elsewhere");
  ::unsetenv("VERDELIN_REGISTRY");
  EXPECT_FALSE(registry.keyExists(kHkeyLocalMachine, "Software\\Acme\\Tool"));
  SystemFileSystem().deleteFile(path);
}
#endif

}  // namespace
}  // namespace platform
