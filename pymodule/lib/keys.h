// Dict keys the module reads and writes, created once per process.
#pragma once

#include "pymodule/platform.h"

namespace quillscore::py {

struct Keys {
  PyObject* size;
  PyObject* counts;
  PyObject* image_id;
  PyObject* category_id;
  PyObject* id;
  PyObject* score;
  PyObject* bbox;
  PyObject* area;
  PyObject* iscrowd;
  PyObject* num_keypoints;
  PyObject* keypoints;
  PyObject* segmentation;
};

// Interned key strings; null with an exception set if creating them failed.
const Keys* keys();

}  // namespace quillscore::py
