// Borrowing a native object's state across calls that release the
// interpreter lock: any number of readers, or one writer, and a call that
// finds the other kind at work fails at once rather than waiting.
#pragma once

#include "pymodule/platform.h"

namespace quillscore::py {

// `Obj` has a Py_ssize_t `borrows`: the number of shared borrows, or -1
// while borrowed exclusively. Only touched with the interpreter lock held.
template <class Obj>
class SharedBorrow {
 public:
  explicit SharedBorrow(Obj* o) : o_(o) {
    if (o_->borrows < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      o_ = nullptr;
    } else {
      ++o_->borrows;
    }
  }
  ~SharedBorrow() {
    if (o_) --o_->borrows;
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  explicit operator bool() const { return o_ != nullptr; }

 private:
  Obj* o_;
};

template <class Obj>
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(Obj* o) : o_(o) {
    if (o_->borrows != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      o_ = nullptr;
    } else {
      o_->borrows = -1;
    }
  }
  ~ExclusiveBorrow() {
    if (o_) o_->borrows = 0;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  explicit operator bool() const { return o_ != nullptr; }

 private:
  Obj* o_;
};

}  // namespace quillscore::py
