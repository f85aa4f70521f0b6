// Holding the cyclic garbage collector off around bulk object creation.
#pragma once

#include "pymodule/platform.h"

namespace quillscore::py {

// Holds the interpreter's cyclic garbage collector off for its lifetime
// (restoring its previous state). Loads and indexes create containers by the
// thousand; collections in the middle would only traverse the growing
// structure over and over without finding any garbage. An explicit
// gc.collect() still runs.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

}  // namespace quillscore::py
