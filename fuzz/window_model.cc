// The windowed appliers' rules that need no window, on text from the
// input: the command line split and read (as Pelmo32 and as a
// self-contained stub), the engine output turned into list lines, and the
// panel and control texts of the comment.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "winapplier/window_model.h"

namespace {

// Keeps the lines the way a list control would, so that a removal of a
// line that was never added shows.
class Lines : public winapplier::ListView {
 public:
  void addLine(const std::string&) override { ++count; }
  void removeLastLine() override {
    if (count == 0) {
      std::fputs("a line removed from an empty list\n", stderr);
      std::abort();
    }
    --count;
  }
  std::size_t count = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  winapplier::tokenize(text);
  winapplier::parseCommandLine(text, false);
  winapplier::parseCommandLine(text, true);

  // The output in two pieces, cut where the first byte says, as the engine
  // sends a message and then its continuation.
  const std::size_t cut = size == 0 ? 0 : data[0] % size;
  winapplier::MessageList list;
  Lines view;
  list.output(text.substr(0, cut), view);
  list.output(text.substr(cut), view);
  if (view.count != list.lines().size()) {
    std::fprintf(stderr, "the list shows %zu lines, the model holds %zu\n", view.count, list.lines().size());
    std::abort();
  }

  const std::string panel = winapplier::panelText(winapplier::heldText(text));
  if (panel.size() > winapplier::kPanelTextSize) {
    std::fprintf(stderr, "panel text of %zu bytes\n", panel.size());
    std::abort();
  }
  winapplier::controlText(text);
  return 0;
}
