#include "builder/autofind.h"

namespace builder {

void setAutofindKey(TargetSpec* target, std::string text) {
  if (!text.empty() && text.front() == '"') text.erase(0, 1);
  if (!text.empty() && text.back() == '"') text.pop_back();
  if (!text.empty() && text.front() == '\\') text.erase(0, 1);
  if (!text.empty() && text.front() == '/') text.erase(0, 1);

  if (target->findMethod == kFindByPath) {
    target->findMethod = kFindRegistry;
  } else if (target->findMethod == kFindRegistry) {
    optionStop("Error, cannot provide two registry autofind keys for the same target!");
  } else {
    optionStop(
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
}

}  // namespace builder
