#include "builder/autofind.h"

#include "platform/codepage.h"

namespace builder {
namespace {

OptionError refusal(const char* text) {
  OptionError e;
  e.kind = OptionError::Kind::kRefusal;
  e.en = e.de = text;
  return e;
}

}  // namespace

OptionError setAutofindKey(TargetOptions* target, std::string text) {
  if (!text.empty() && text.front() == '"') text.erase(0, 1);
  if (!text.empty() && text.back() == '"') text.pop_back();
  if (!text.empty() && text.front() == '\\') text.erase(0, 1);
  if (!text.empty() && text.front() == '/') text.erase(0, 1);

  if (target->findMethod == patchformat::kLocateGivenPath) {
    target->findMethod = patchformat::kLocateRegistry;
  } else if (target->findMethod == patchformat::kLocateRegistry) {
    return refusal("Error, cannot provide two registry autofind keys for the same target!");
  } else {
    return refusal(
        "Error, cannot provide registry autofind information for windows directory or windows "
        "system targets");
  }

  std::string key;
  std::string value;
  for (char c : text) {
    if (c == '\\' || c == '/') {
      key += '\\';
      key += value;
      value.clear();
    } else {
      value += c;
    }
  }
  if (!key.empty() && key.front() == '\\') key.erase(0, 1);
  if (value == "@") value.clear();
  target->registryKey = key;
  target->registryValue = value;
  return OptionError();
}

void registryCheckReport(const TargetOptions& target, bool quiet, platform::Registry& registry, Output& out) {
  // Looked up as given, shown in the console's code page.
  const std::string key = platform::cp1252ToCp850(target.registryKey);
  const std::string value = platform::cp1252ToCp850(target.registryValue);
  const auto info = [quiet, &out](const std::string& en, const std::string& de) {
    if (!quiet) out.notice(en, de);
  };
  info("Autofind key \"" + key + "\" and value \"" + value + "\":\r\n", "Autofind key " + key + " and value " + value + ":\r\n");
  if (!registry.keyExists(target.rootKey, target.registryKey)) {
    out.notice("Registry Check: Warning, using registry key \"" + key + "\" which is NOT installed on this computer.\r\n",
                 "Registry Check: Achtung, der Registry-Schl\x81ssel \"" + key + "\" ist NICHT auf diesem Rechner installiert.\r\n");
    return;
  }
  info("Ok, registry key \"" + key + "\" exists\r\n", "Ok, Registry-Schl\x81ssel \"" + key + "\" existiert.\r\n");
  std::string data;
  if (!registry.readValue(target.rootKey, target.registryKey, target.registryValue, &data)) {
    out.notice("Registry Check: Warning, value \"" + value + "\" does NOT exist on this machine!\r\n",
                 "Achtung, der Wert \"" + value + "\" kann auf diesem Rechner NICHT gefunden werden!\r\n");
    return;
  }
  if (data.size() > 1000) data.resize(1000);  // the data as a 1001-byte buffer shows it
  const std::string shownData = platform::cp1252ToCp850(data);
  info("Ok, value \"" + value + "\" can be read and is: \"" + shownData + "\"\r\n",
       "Ok, \"der Wert \"" + value + "\" kann gelesen werden und ist: \"" + shownData + "\"");
  const std::string head = (data + std::string(4, '\0')).substr(0, 4);
  if (head == std::string(4, '\0')) {
    out.notice("Registry Check: Warning, value \"" + value + "\" is EMPTY on this machine!\r\n",
                 "Achtung, der Wert von \"" + value + "\" ist leer auf diesem Rechner!\r\n");
  }
}

}  // namespace builder
