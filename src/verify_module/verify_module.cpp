// velm_qor_verify._native: the log verifier for Python. One function, verify, runs the same
// pipeline as velm-qor-verify and returns the JSON report the command prints for the same input;
// the package's Python layer (python/velm_qor_verify) turns it into Report objects. Lines are
// checked with the interpreter lock released; it is taken back only to call a file object's read.
#include <Python.h>
#include <sodium.h>

#include <cstring>
#include <string>
#include <vector>

#include "binding/args.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "encoding/hex.h"
#include "verifier/parallel_verify.h"
#include "verifier/report.h"
#include "verifier/score_replay.h"
#include "verify_module/py_reader.h"

namespace {

using velm::py::Ref;
namespace vv = velm::verify;

std::string bytes_text(PyObject* obj, const char* what) {
  if (!PyBytes_Check(obj)) velm::py::raise(PyExc_TypeError, std::string(what) + " must be bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) throw velm::py::PythonError{};
  return std::string(data, static_cast<std::size_t>(size));
}

velm::PublicKey parse_key(PyObject* obj) {
  const std::string text = velm::py::to_text(obj, "public_key").str();
  velm::PublicKey key{};
  if (!velm::parse_hex_any_case(text, key.data(), key.size())) {
    velm::py::raise(PyExc_ValueError, "public_key must be 64 hex digits");
  }
  if (crypto_core_ed25519_is_valid_point(key.data()) != 1) {
    velm::py::raise(PyExc_ValueError, "public_key is not a valid Ed25519 public key");
  }
  return key;
}

std::vector<velm::Digest> parse_heads(PyObject* obj) {
  Ref seq = Ref::steal(PySequence_Fast(obj, "expect_heads must be a sequence of str"));
  if (!seq) throw velm::py::PythonError{};
  std::vector<velm::Digest> roots;
  const Py_ssize_t n = PySequence_Size(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::steal(velm::py::check(PySequence_GetItem(seq.get(), i)));
    const std::string text = velm::py::to_text(item.get(), "expect_heads").str();
    velm::Digest root{};
    if (!velm::parse_hex_any_case(text, root.data(), root.size())) {
      velm::py::raise(PyExc_ValueError, "expect_heads must hold roots of 64 hex digits, not '" + text + "'");
    }
    roots.push_back(root);
  }
  return roots;
}

// Each input is (name: bytes, source): source is a path as bytes, or a binary file object.
struct Input {
  std::string name;
  std::string path;  // when read from a file by path
  Ref file;          // else the file object
};

std::vector<Input> parse_inputs(PyObject* obj) {
  if (!PyList_Check(obj)) velm::py::raise(PyExc_TypeError, "inputs must be a list");
  std::vector<Input> inputs;
  const Py_ssize_t n = PyList_Size(obj);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(obj, i);  // borrowed; the list is not changed meanwhile
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) velm::py::raise(PyExc_TypeError, "each input must be a pair");
    Input in;
    in.name = bytes_text(PyTuple_GetItem(item, 0), "an input's name");
    PyObject* source = PyTuple_GetItem(item, 1);
    if (PyBytes_Check(source)) {
      in.path = bytes_text(source, "a path");
    } else {
      in.file = Ref::borrow(source);
    }
    inputs.push_back(std::move(in));
  }
  return inputs;
}

// Holds the interpreter lock released for its lifetime.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(state_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* state_;
};

// Raises the OSError of a log that could not be read (FileNotFoundError and the like by errno).
[[noreturn]] void raise_io_error(const vv::IoError& e) {
  if (e.error_number() != 0) {
    Ref exc = Ref::steal(PyObject_CallFunction(PyExc_OSError, "is", e.error_number(), e.what()));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw velm::py::PythonError{};
  }
  velm::py::raise(PyExc_OSError, e.what());
}

constexpr velm::py::FunctionSpec kVerifySpec{"verify()", {"inputs", "public_key", "expect_heads", "series", "jobs"}, 5};

PyObject* verify(PyObject*, PyObject* args, PyObject* kwargs) {
  return velm::py::guard("verify", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* a[5];
    velm::py::bind_arguments(kVerifySpec, args, kwargs, a);
    std::vector<Input> inputs = parse_inputs(a[0]);
    const velm::PublicKey key = parse_key(a[1]);
    vv::VerifyOptions options;
    options.watch_roots = parse_heads(a[2]);
    const bool series = velm::py::to_flag(a[3], "series");
    const long jobs = PyLong_AsLong(a[4]);
    if (jobs == -1 && PyErr_Occurred()) throw velm::py::PythonError{};
    if (jobs < 0 || jobs > 1024) velm::py::raise(PyExc_ValueError, "jobs must be from 1 to 1024");
    if (inputs.empty()) velm::py::raise(PyExc_ValueError, "no log given");

    vv::RunReport run;
    run.public_key_hex = velm::hex_lower(key.data(), key.size());
    run.replay_note = vv::sine_difference(vv::recorded_sines());
    options.replay_scores = run.replay_note.empty();

    ReadErrors read_errors;
    std::vector<vv::LogPiece> pieces;
    for (Input& in : inputs) {
      pieces.push_back(in.file ? python_file_piece(in.name, in.file.get(), read_errors) : vv::file_piece(in.path));
    }

    std::string json;
    bool io_failed = false;
    vv::IoError io_error("");
    {
      ReleasedLock unlocked;
      try {
        vv::ParallelVerifier verifier(key, jobs == 0 ? vv::available_cores() : static_cast<unsigned>(jobs));
        if (series) {
          run.logs.push_back(verifier.verify(pieces, options));
        } else {
          for (const vv::LogPiece& piece : pieces) run.logs.push_back(verifier.verify({piece}, options));
        }
        vv::resolve_expected_heads(run, options.watch_roots);
        json = vv::render_json(run);
      } catch (const vv::IoError& e) {
        io_failed = true;
        io_error = e;
      }
    }
    if (io_failed) {
      read_errors.restore_if_any();  // an exception raised by a file object's read, as it was
      raise_io_error(io_error);
    }
    return velm::py::new_text(json);
  });
}

PyMethodDef g_methods[] = {
    {"verify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(verify)), METH_VARARGS | METH_KEYWORDS,
     "verify(inputs, public_key, expect_heads, series, jobs) -> str\n--\n\n"
     "Verifies the inputs, each a pair (name, path or binary file object), and returns the JSON report."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "velm_qor_verify._native",
    "The native log verifier behind velm_qor_verify.",
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) {
  if (sodium_init() < 0) {
    PyErr_SetString(PyExc_ImportError, "libsodium could not be initialised");
    return nullptr;
  }
  return PyModule_Create(&g_module_def);
}
