// Pelmo32 on a machine whose Restart Manager names the holders of a file
// in use: the programs of VERDELIN_TEST_HOLDERS ("rocket.exe:1234;..."),
// for the window tests under Wine, whose Restart Manager names none.
// Everything else is the machine's own, the claims on targets included.
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/machine.h"
#include "platform/process.h"
#include "winapplier/window_win32.h"

namespace {

class NamedHolders final : public platform::OtherPrograms {
 public:
  explicit NamedHolders(platform::OtherPrograms& system) : system_(system) {}
  std::vector<platform::FileHolder> holders(const std::string&) override {
    std::vector<platform::FileHolder> named;
    const std::string list = platform::getEnv("VERDELIN_TEST_HOLDERS");
    for (std::size_t start = 0; start < list.size();) {
      std::size_t end = list.find(';', start);
      if (end == std::string::npos) end = list.size();
      const std::string item = list.substr(start, end - start);
      const std::size_t colon = item.rfind(':');
      if (colon != std::string::npos) {
        named.push_back({item.substr(0, colon), std::strtoul(item.c_str() + colon + 1, nullptr, 10)});
      }
      start = end + 1;
    }
    return named;
  }
  std::unique_ptr<platform::TargetClaim> claim(const std::string& dir) override { return system_.claim(dir); }

 private:
  platform::OtherPrograms& system_;
};

}  // namespace

int main() {
  platform::Machine& system = platform::systemMachine();
  NamedHolders programs(system.programs);
  platform::Machine machine{system.files, system.locations, system.registry, system.console, system.commands,
                            programs};
  return winapplier::runWindowed(winapplier::Variant::kPelmo32, machine);
}
