// The engine handle behind the C interface's opaque KorvelEngine pointer.
//
// It owns one engine and the lock that serialises every operation on it; the engine has no
// locking of its own. The host creates and destroys it only through korvel_engine_new and
// korvel_engine_free, which never runs concurrently with other calls on the same handle.
#pragma once

#include <mutex>

#include "engine.h"

struct KorvelEngine {
  KorvelEngine();

  korvel::Engine engine;
  std::mutex lock;
};
