#pragma once

#include "pymodule/platform.h"

#include <span>

namespace quillscore::py {

// Gives each box result of `list` (a list) the fields the evaluation reads,
// as the plain Python loop would: "area" the box's width times its height by
// the interpreter's own arithmetic (ints stay ints, NumPy scalars keep their
// type), "id" its 1-based position, "iscrowd" 0. Items are read and written
// through the item protocol, so a mapping subclass's own methods run. False
// with the error set; earlier results keep their new fields.
bool complete_bbox_results(PyObject* list);

// Gives each segmentation result of `list` what evaluation reads, as the
// mask toolkit's loop would: "area" its mask's area (an int), "bbox" its
// mask's box unless it has one, "id" its 1-based position, "iscrowd" 0.
// `segms` is the list of their RLE dicts, in the same order; null takes
// each result's "segmentation". Every mask is read before any result
// changes, and decoded once, in parallel. False with the error set.
bool complete_segm_results(PyObject* list, PyObject* segms = nullptr);

// Gives each keypoint result of `list` "area" and "bbox" from its keypoints'
// extent and "id" its 1-based position, when every list of `keypoints` (null:
// each result's "keypoints") is alike: an exact list of one length, a
// positive multiple of three, of exact ints and floats. 1 when done; 0, with
// nothing changed, when they are not alike; -1 with the error set.
int complete_keypoint_results(PyObject* list, PyObject* keypoints = nullptr);

// prepare_segm_results, prepare_keypoint_results, index_annotations and
// prepare_bbox_results, in registration order.
std::span<PyMethodDef> index_functions();

}  // namespace quillscore::py
