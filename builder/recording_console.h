// A console that keeps what is written, for output made on a worker thread
// and shown later in its place, so that the transcript is that of a run in
// turn.
#pragma once

#include <string>
#include <vector>

#include "builder/messages.h"
#include "platform/console.h"

namespace builder {

class RecordingConsole : public platform::Console {
 public:
  struct Event {
    platform::Stream stream;
    std::string text;
  };
  void write(platform::Stream stream, const std::string& text) override { events.push_back({stream, text}); }
  void flush(platform::Stream) override {}
  int readKey(int) override { return -1; }
  std::vector<Event> events;
};

// Shows what a recording console kept, each piece flushed as it was written.
inline void replay(const std::vector<RecordingConsole::Event>& events, Output& out) {
  for (const RecordingConsole::Event& e : events) {
    out.write(e.stream, e.text);
    out.flush(e.stream);
  }
}

}  // namespace builder
