#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/files.h"

namespace platform {
namespace {

#ifdef _WIN32
TEST(RegistryTest, ReadsTheSystemRegistry) {
  EXPECT_TRUE(registryKeyExists(kHkeyLocalMachine, "Software"));
  EXPECT_FALSE(registryKeyExists(kHkeyLocalMachine, "Software\\Surely\\Not\\There"));
  std::string data;
  EXPECT_FALSE(registryReadValue(kHkeyLocalMachine, "Software", "surely-no-such-value", &data));
}
#else
TEST(RegistryTest, ReadsTheExportFileNamedByTheEnvironment) {
  const std::string path = ::testing::TempDir() + "registry.reg";
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Acme\\Tool]\r\n"
      "\"InstallDir\"=\"C:\\\\Program Files\\\\Tool\"\r\n"
      "@=\"default data\"\r\n"
      "\"Empty\"=\"\"\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
      "\"InstallDir\"=\"elsewhere\"\r\n";
  File f;
  ASSERT_TRUE(f.open(path, File::Mode::kCreate) && f.write(text.data(), text.size()) && f.close());
  ::setenv("VERDELIN_REGISTRY", path.c_str(), 1);
  EXPECT_TRUE(registryKeyExists(kHkeyLocalMachine, "software\\ACME\\Tool")) << "names ignore case";
  EXPECT_FALSE(registryKeyExists(kHkeyLocalMachine, "Software\\Acme"));
  std::string data;
  ASSERT_TRUE(registryReadValue(kHkeyLocalMachine, "Software\\Acme\\Tool", "InstallDir", &data));
  EXPECT_EQ(data, "C:\\Program Files\\Tool");
  ASSERT_TRUE(registryReadValue(kHkeyLocalMachine, "Software\\Acme\\Tool", "", &data));
  EXPECT_EQ(data, "default data");
  ASSERT_TRUE(registryReadValue(kHkeyLocalMachine, "Software\\Acme\\Tool", "Empty", &data));
  EXPECT_EQ(data, "");
  EXPECT_FALSE(registryReadValue(kHkeyLocalMachine, "Software\\Acme\\Tool", "Missing", &data));
  ::unsetenv("VERDELIN_REGISTRY");
  EXPECT_FALSE(registryKeyExists(kHkeyLocalMachine, "Software\\Acme\\Tool"));
  deleteFile(path);
}
#endif

}  // namespace
}  // namespace platform
