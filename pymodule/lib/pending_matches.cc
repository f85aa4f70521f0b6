#include "pymodule/lib/pending_matches.h"

#include <memory>
#include <optional>

#include "core/eval/stream.h"
#include "core/pool/pool.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/interrupt.h"
#include "pymodule/lib/match_state.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

struct Made {
  eval::StreamState state;
  std::unique_ptr<Background> work;  // writes `state`
};

struct PendingObject {
  PyObject_HEAD
  PyObject* evaluator;   // kept, with its state shared-borrowed, until the work is over
  Py_ssize_t* borrows;   // the evaluator's borrow count
  Made* made;            // kept until the object goes: another thread may be waiting on it
  PyObject* result;      // the MatchState, once collected
  bool taken;            // made->state moved into `result`
};

PyTypeObject* type_object = nullptr;

PendingObject* self_of(PyObject* o) { return reinterpret_cast<PendingObject*>(o); }

// Once the work is over: the evaluator (and the batch's geometry) can go.
void let_go(PendingObject* p) {
  if (!p->evaluator) return;
  --*p->borrows;
  Py_CLEAR(p->evaluator);
}

void pending_dealloc(PyObject* self) {
  PendingObject* p = self_of(self);
  PyTypeObject* type = Py_TYPE(self);
  delete p->made;  // waits for the work
  let_go(p);
  Py_XDECREF(p->result);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* pending_wait(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    PendingObject* p = self_of(self);
    if (!p->made->work->wait()) return nullptr;
    let_go(p);
    Py_RETURN_NONE;
  });
}

PyObject* pending_result(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    PendingObject* p = self_of(self);
    if (!p->result) {
      if (!p->made->work->wait()) return nullptr;
      let_go(p);
      p->made->work->rethrow();
      // Another thread may have collected it while this one waited.
      if (!p->result) {
        if (p->taken) return fail(PyExc_RuntimeError, "the matching is being collected on another thread");
        p->taken = true;
        p->result = match_state_object(std::move(p->made->state));
        if (!p->result) return nullptr;
      }
    }
    return Py_NewRef(p->result);
  });
}

PyTypeObject* pending_type() {
  if (type_object) return type_object;
  static PyMethodDef methods[] = {
      {"wait", pending_wait, METH_NOARGS,
       "wait($self, /)\n--\n\nWait until the matching is made (Ctrl-C ends the wait, not the work)."},
      {"result", pending_result, METH_NOARGS,
       "result($self, /)\n--\n\nThe MatchState, once made; raises what making it raised."},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(pending_dealloc)},
      {Py_tp_methods, methods},
      {Py_tp_doc, const_cast<char*>("A matching being made on another thread: Evaluator.start_matches().")},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {"quillscore._vireo.PendingMatches", sizeof(PendingObject), 0,
                             Py_TPFLAGS_DEFAULT, slots};
  type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
  return type_object;
}

}  // namespace

PyObject* start_pending_matches(PyObject* evaluator, eval::EngineState* st, Py_ssize_t* borrows,
                                double boundary_dilation, bool parallel) {
  PyTypeObject* type = pending_type();
  if (!type) return nullptr;
  if (*borrows < 0) return fail(PyExc_RuntimeError, "Already mutably borrowed");
  Ref obj(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  PendingObject* p = self_of(obj.get());
  p->borrows = borrows;
  p->evaluator = Py_NewRef(evaluator);
  ++*borrows;
  auto made = std::make_unique<Made>();
  eval::StreamState* out = &made->state;
  made->work = std::make_unique<Background>([out, st, boundary_dilation, parallel] {
    std::optional<pool::InlineScope> alone;
    if (!parallel) alone.emplace();
    *out = eval::stream_of(*st, boundary_dilation);
  });
  p->made = made.release();
  return obj.release();
}

}  // namespace quillscore::py
