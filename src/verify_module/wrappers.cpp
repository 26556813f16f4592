#include "verify_module/wrappers.h"

#include <memory>
#include <string>
#include <vector>

#include "binding/args.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "verifier/api.h"
#include "verifier/base/escape.h"
#include "verify_module/errors.h"
#include "verify_module/py_reader.h"

namespace {

using velm::py::Ref;
namespace vv = velm::verify;
namespace api = velm::verify::api;

std::string text(PyObject* obj, const char* what) { return velm::py::to_text(obj, what).str(); }

// The str items of a sequence.
std::vector<std::string> texts(PyObject* obj, const char* sequence_error, const char* what) {
  Ref seq = Ref::steal(PySequence_Fast(obj, sequence_error));
  if (!seq) throw velm::py::PythonError{};
  std::vector<std::string> out;
  const Py_ssize_t n = PySequence_Size(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::steal(velm::py::check(PySequence_GetItem(seq.get(), i)));
    out.push_back(text(item.get(), what));
  }
  return out;
}

// The log of checkpoint() and prove(): a path's bytes, or with `series` a list of them, the pieces
// oldest first. Names that are not UTF-8 work too.
void take_log(api::Request& r, PyObject* log, PyObject* series) {
  r.series = series != nullptr && velm::py::to_flag(series, "series");
  if (!r.series) {
    r.log = bytes_text(log, "log");
    return;
  }
  if (!PyList_Check(log)) velm::py::raise(PyExc_TypeError, "with series, log must be a list of paths");
  for (Py_ssize_t i = 0; i < PyList_Size(log); ++i) {
    r.logs.push_back(vv::file_piece(bytes_text(PyList_GetItem(log, i), "a piece's path")));
  }
}

// Why no checkpoint was made, with the report's first failure, as one line.
std::string refusal_message(const api::CheckpointResult& result) {
  const vv::LogReport& report = result.run.logs.front();
  std::string message = result.refusal;
  if (!report.readable()) message += ": " + vv::escape_text(report.error);
  if (!report.failures.empty()) {
    const vv::Failure& f = report.failures.front();
    message += ": ";
    if (f.line != 0) message += "line " + std::to_string(f.line);
    if (f.log_line != 0) {
      message += " of " + vv::escape_text(f.file) + " (line " + std::to_string(f.log_line) + " of the series)";
    }
    if (f.line != 0) message += ": ";
    message += std::string(vv::failure_kind_name(f.kind)) + ": " + vv::escape_text(f.detail);
    if (report.failure_total() > 1) {
      message += " (and " + std::to_string(report.failure_total() - 1) + " more failures)";
    }
  }
  return message;
}

constexpr const char* kRunCapsule = "velm_qor_verify._native.RunReport";

void free_run(PyObject* capsule) { delete static_cast<vv::RunReport*>(PyCapsule_GetPointer(capsule, kRunCapsule)); }

constexpr velm::py::FunctionSpec kVerifySpec{
    "verify()", {"inputs", "public_key", "expect_heads", "series", "jobs", "checkpoints", "witnesses"}, 5};
constexpr velm::py::FunctionSpec kReportHtmlSpec{"report_html()", {"run"}, 1};
constexpr velm::py::FunctionSpec kCheckpointSpec{
    "checkpoint()", {"log", "public_key", "witness_key", "origin", "previous", "series"}, 5};
constexpr velm::py::FunctionSpec kProveSpec{"prove()", {"log", "line", "checkpoint", "series", "record_id"}, 3};
constexpr velm::py::FunctionSpec kCheckProofSpec{"check_proof()", {"bundle", "witnesses", "public_key"}, 3};

}  // namespace

PyObject* verify(PyObject*, PyObject* args, PyObject* kwargs) {
  return velm::py::guard("verify", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* a[7];
    velm::py::bind_arguments(kVerifySpec, args, kwargs, a);
    ReadErrors read_errors;
    api::Request r;
    r.logs = parse_inputs(a[0], read_errors);
    r.public_key = text(a[1], "public_key");
    r.expected_heads = texts(a[2], "expect_heads must be a sequence of str", "expect_heads");
    r.series = velm::py::to_flag(a[3], "series");
    const long jobs = PyLong_AsLong(a[4]);
    if (jobs == -1 && PyErr_Occurred()) throw velm::py::PythonError{};
    if (jobs < 0 || jobs > static_cast<long>(api::kMaxJobs)) {
      velm::py::raise(PyExc_ValueError, "jobs must be from 1 to 1024");
    }
    r.jobs = static_cast<unsigned>(jobs);
    r.stop_at_unreadable = true;
    // Checkpoint notes as texts, named by their place for the report.
    const std::vector<std::string> notes = a[5] == nullptr
                                               ? std::vector<std::string>{}
                                               : texts(a[5], "checkpoints must be a sequence of str", "checkpoint");
    for (std::size_t i = 0; i < notes.size(); ++i) {
      r.checkpoints.push_back({"checkpoints[" + std::to_string(i) + "]", notes[i]});
    }
    if (a[6] != nullptr) r.witnesses = texts(a[6], "witnesses must be a sequence of str", "witness");
    r.chart = true;
    auto run = std::make_unique<vv::RunReport>(run_unlocked([&] { return api::verify(r).run; }, &read_errors));
    Ref json = Ref::steal(velm::py::new_text(run_unlocked([&] { return vv::render_json(*run); })));
    Ref capsule = Ref::steal(velm::py::check(PyCapsule_New(run.get(), kRunCapsule, &free_run)));
    run.release();  // the capsule owns it now
    return velm::py::check(PyTuple_Pack(2, json.get(), capsule.get()));
  });
}

PyObject* report_html(PyObject*, PyObject* args, PyObject* kwargs) {
  return velm::py::guard("report_html", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* a[1];
    velm::py::bind_arguments(kReportHtmlSpec, args, kwargs, a);
    const auto* run = static_cast<const vv::RunReport*>(PyCapsule_GetPointer(a[0], kRunCapsule));
    if (run == nullptr) throw velm::py::PythonError{};
    return velm::py::new_text(run_unlocked([&] { return vv::render_html(*run); }));
  });
}

PyObject* checkpoint(PyObject*, PyObject* args, PyObject* kwargs) {
  return velm::py::guard("checkpoint", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* a[6];
    velm::py::bind_arguments(kCheckpointSpec, args, kwargs, a);
    api::Request r;
    take_log(r, a[0], a[5]);
    r.public_key = text(a[1], "public_key");
    r.witness_key = bytes_text(a[2], "witness_key");
    r.origin = text(a[3], "origin");
    if (a[4] != nullptr && a[4] != Py_None) r.previous = api::TextInput{"previous", text(a[4], "previous")};
    const api::CheckpointResult result = run_unlocked([&] { return api::checkpoint(r); });
    if (!result.note) velm::py::raise(PyExc_ValueError, refusal_message(result));
    return velm::py::new_text(*result.note);
  });
}

PyObject* prove(PyObject*, PyObject* args, PyObject* kwargs) {
  return velm::py::guard("prove", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* a[5];
    velm::py::bind_arguments(kProveSpec, args, kwargs, a);
    api::Request r;
    take_log(r, a[0], a[3]);
    if (a[4] != nullptr && a[4] != Py_None) r.record_id = text(a[4], "record_id");
    const unsigned long long line = PyLong_AsUnsignedLongLong(a[1]);
    if (line == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      velm::py::raise(PyExc_ValueError, "line must be a line number from 1 to 2^64 - 1");
    }
    r.line = line;
    r.checkpoint = {"the checkpoint", text(a[2], "checkpoint")};
    return velm::py::new_text(run_unlocked([&] { return api::prove(r); }));
  });
}

PyObject* check_proof(PyObject*, PyObject* args, PyObject* kwargs) {
  return velm::py::guard("check_proof", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* a[3];
    velm::py::bind_arguments(kCheckProofSpec, args, kwargs, a);
    api::Request r;
    r.bundle = {"bundle", text(a[0], "bundle")};
    r.witnesses = texts(a[1], "witnesses must be a sequence of str", "witness");
    r.public_key = text(a[2], "public_key");
    return velm::py::new_text(run_unlocked([&] { return vv::proof_check_json(api::check_proof(r)); }));
  });
}
