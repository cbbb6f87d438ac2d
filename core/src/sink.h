// The event sink: an observer told about every event the engine records, under the engine's
// lock, on the recording thread. A sink cannot make a recording fail: it returns nothing, and
// the engine swallows anything it throws.
#pragma once

#include <cstdint>
#include <string_view>

#include "graph/event.h"

namespace korvel {

enum class ContentKind : std::uint8_t { IngestedContent = 0, ToolParams = 1, ToolOutput = 2 };

class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void event_recorded(const graph::EventRecord& record) = 0;
  // The raw bytes the event was made from; ignored unless a sink wants them.
  virtual void content_recorded(graph::EventId id, ContentKind kind, std::string_view bytes);
};

class NoOpSink final : public EventSink {
 public:
  void event_recorded(const graph::EventRecord&) override {}
};

}  // namespace korvel
