// velm_qor_verify._native: the log verifier for Python. One function, verify, runs the same
// pipeline as velm-qor-verify and returns the JSON report the command prints for the same input;
// the package's Python layer (python/velm_qor_verify) turns it into Report objects. Lines are
// checked with the interpreter lock released; it is taken back only to call a file object's read.
#include <Python.h>
#include <sodium.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "binding/args.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "encoding/hex.h"
#include "verifier/checkpoint.h"
#include "verifier/escape.h"
#include "verifier/parallel_verify.h"
#include "verifier/proof_bundle.h"
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
    // The message may hold a path's bytes as they are, which need not be UTF-8.
    const std::string_view what = e.what();
    Ref message =
        Ref::steal(PyUnicode_DecodeUTF8(what.data(), static_cast<Py_ssize_t>(what.size()), "backslashreplace"));
    if (!message) throw velm::py::PythonError{};
    Ref exc = Ref::steal(PyObject_CallFunction(PyExc_OSError, "iO", e.error_number(), message.get()));
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
      pieces.back().name = in.name;  // a file read by path may be named otherwise (a file:// URL)
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

// checkpoint(log, public_key, witness_key, origin, previous): the signed checkpoint note of the log
// at `log`, as velm-qor-verify checkpoint prints it. `previous` is an earlier note's text or None.
constexpr velm::py::FunctionSpec kCheckpointSpec{
    "checkpoint()", {"log", "public_key", "witness_key", "origin", "previous"}, 5};

PyObject* checkpoint(PyObject*, PyObject* args, PyObject* kwargs) {
  return velm::py::guard("checkpoint", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* a[5];
    velm::py::bind_arguments(kCheckpointSpec, args, kwargs, a);
    const std::string log = bytes_text(a[0], "log");
    const velm::PublicKey key = parse_key(a[1]);
    const std::string key_path = bytes_text(a[2], "witness_key");
    const std::string origin = velm::py::to_text(a[3], "origin").str();
    if (!vv::valid_key_name(origin)) {
      velm::py::raise(PyExc_ValueError, "origin must be a key name: no spaces, '+' or control characters");
    }
    std::optional<vv::CheckpointInput> previous;
    if (a[4] != nullptr && a[4] != Py_None) {
      previous = vv::CheckpointInput{"previous", velm::py::to_text(a[4], "previous").str()};
    }
    std::optional<velm::SigningKey> witness;
    try {
      witness.emplace(vv::load_witness_key(key_path));
    } catch (const vv::WitnessKeyError& e) {
      velm::py::raise(PyExc_OSError, vv::escape_text(key_path) + ": " + e.what());
    }
    vv::VerifyOptions options;
    options.replay_scores = vv::sine_difference(vv::recorded_sines()).empty();
    vv::CheckpointOutcome outcome;
    bool io_failed = false;
    vv::IoError io_error("");
    {
      ReleasedLock unlocked;
      try {
        outcome = vv::make_checkpoint(log, key, *witness, origin, previous, options);
      } catch (const vv::IoError& e) {
        io_failed = true;
        io_error = e;
      }
    }
    witness.reset();
    if (io_failed) raise_io_error(io_error);
    if (!outcome.note.empty()) return velm::py::new_text(outcome.note);
    const vv::LogReport& report = outcome.report;
    const auto count = [&](vv::FailureKind kind) { return report.failure_counts[static_cast<std::size_t>(kind)]; };
    const bool previous_failed = count(vv::FailureKind::kCheckpointSignature) +
                                     count(vv::FailureKind::kCheckpointMismatch) +
                                     count(vv::FailureKind::kLogTruncated) !=
                                 0;
    std::string message = previous_failed ? "no checkpoint: the log does not extend the previous checkpoint"
                                          : "no checkpoint: the log does not verify";
    if (!report.readable()) message += ": " + vv::escape_text(report.error);
    if (!report.failures.empty()) {
      const vv::Failure& f = report.failures.front();
      message += ": ";
      if (f.line != 0) message += "line " + std::to_string(f.line) + ": ";
      message += std::string(vv::failure_kind_name(f.kind)) + ": " + vv::escape_text(f.detail);
      if (report.failure_total() > 1) {
        message += " (and " + std::to_string(report.failure_total() - 1) + " more failures)";
      }
    }
    velm::py::raise(PyExc_ValueError, message);
  });
}

// prove(log, line, checkpoint): the proof bundle JSON of line `line` under the checkpoint note.
constexpr velm::py::FunctionSpec kProveSpec{"prove()", {"log", "line", "checkpoint"}, 3};

PyObject* prove(PyObject*, PyObject* args, PyObject* kwargs) {
  return velm::py::guard("prove", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* a[3];
    velm::py::bind_arguments(kProveSpec, args, kwargs, a);
    const std::string log = bytes_text(a[0], "log");
    const unsigned long long line = PyLong_AsUnsignedLongLong(a[1]);
    if (line == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      velm::py::raise(PyExc_ValueError, "line must be a line number from 1 to 2^64 - 1");
    }
    if (line == 0) velm::py::raise(PyExc_ValueError, "line must be a line number from 1 to 2^64 - 1");
    const std::string note = velm::py::to_text(a[2], "checkpoint").str();
    std::string json;
    std::string failure;
    bool io_failed = false;
    vv::IoError io_error("");
    {
      ReleasedLock unlocked;
      try {
        json = vv::bundle_json(vv::prove(log, line, note));
      } catch (const vv::IoError& e) {
        io_failed = true;
        io_error = e;
      } catch (const vv::NoteError& e) {
        failure = std::string("no proof: the checkpoint: ") + e.what();
      } catch (const vv::BundleError& e) {
        failure = std::string("no proof: ") + e.what();
      }
    }
    if (io_failed) raise_io_error(io_error);
    if (!failure.empty()) velm::py::raise(PyExc_ValueError, failure);
    return velm::py::new_text(json);
  });
}

// check_proof(bundle, witnesses, public_key): the JSON velm-qor-verify check-proof --json prints.
constexpr velm::py::FunctionSpec kCheckProofSpec{"check_proof()", {"bundle", "witnesses", "public_key"}, 3};

PyObject* check_proof(PyObject*, PyObject* args, PyObject* kwargs) {
  return velm::py::guard("check_proof", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* a[3];
    velm::py::bind_arguments(kCheckProofSpec, args, kwargs, a);
    const std::string bundle = velm::py::to_text(a[0], "bundle").str();
    Ref seq = Ref::steal(PySequence_Fast(a[1], "witnesses must be a sequence of str"));
    if (!seq) throw velm::py::PythonError{};
    std::vector<vv::NoteVerifierKey> witnesses;
    const Py_ssize_t n = PySequence_Size(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref item = Ref::steal(velm::py::check(PySequence_GetItem(seq.get(), i)));
      const std::string text = velm::py::to_text(item.get(), "witness").str();
      try {
        witnesses.push_back(vv::parse_verifier_key(text));
      } catch (const vv::NoteError& e) {
        velm::py::raise(PyExc_ValueError, std::string("witness is not a verifier key: ") + e.what());
      }
    }
    if (witnesses.empty()) velm::py::raise(PyExc_ValueError, "no witness given");
    const velm::PublicKey key = parse_key(a[2]);
    vv::ProofCheck check;
    {
      ReleasedLock unlocked;
      check = vv::check_proof(bundle, witnesses, key);
    }
    return velm::py::new_text(vv::proof_check_json(check));
  });
}

PyMethodDef g_methods[] = {
    {"verify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(verify)), METH_VARARGS | METH_KEYWORDS,
     "verify(inputs, public_key, expect_heads, series, jobs) -> str\n--\n\n"
     "Verifies the inputs, each a pair (name, path or binary file object), and returns the JSON report."},
    {"checkpoint", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(checkpoint)),
     METH_VARARGS | METH_KEYWORDS,
     "checkpoint(log, public_key, witness_key, origin, previous) -> str\n--\n\n"
     "Verifies the log and returns the witness's signed checkpoint note of all its lines."},
    {"prove", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(prove)), METH_VARARGS | METH_KEYWORDS,
     "prove(log, line, checkpoint) -> str\n--\n\n"
     "Returns the proof bundle JSON of a line of the log under a checkpoint note."},
    {"check_proof", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(check_proof)),
     METH_VARARGS | METH_KEYWORDS,
     "check_proof(bundle, witnesses, public_key) -> str\n--\n\n"
     "Checks a proof bundle and returns the JSON result velm-qor-verify check-proof --json prints."},
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
