#include "sink.h"

namespace korvel {

void EventSink::content_recorded(graph::EventId, ContentKind, std::string_view) {}

}  // namespace korvel
