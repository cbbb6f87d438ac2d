#include "handles.h"

// The C interface offers only the session mode: every event derives from all earlier ones.
KorvelEngine::KorvelEngine() : engine(korvel::EdgeMode::Session) {}
