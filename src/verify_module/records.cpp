// velm_qor_verify._native.records: every line of the logs as columns (lists), for
// velm_qor_verify.records() to make a DataFrame of. The lines are read and verified by the API
// with the interpreter lock released; the columns are built afterwards, with it held.
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/args.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "verifier/api.h"
#include "verify_module/errors.h"
#include "verify_module/py_reader.h"
#include "verify_module/wrappers.h"

namespace {

using velm::py::Ref;
namespace vv = velm::verify;
namespace api = velm::verify::api;
using F = vv::LineValues;  // its field numbers

PyObject* none();

PyObject* text_or_none(bool have, std::string_view text) {
  if (!have) return none();
  return velm::py::check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

// Lists by name, appended to row by row in the same order of names, so the next name is
// looked for first.
class Columns {
 public:
  // Appends `value` (a new reference, stolen) to the column `name`.
  void add(std::string_view name, PyObject* value) {
    Ref owned = Ref::steal(value);
    std::size_t i = next_ < lists_.size() && lists_[next_].first == name ? next_ : find(name);
    if (i == lists_.size()) lists_.emplace_back(name, Ref::steal(velm::py::check(PyList_New(0))));
    if (PyList_Append(lists_[i].second.get(), owned.get()) != 0) throw velm::py::PythonError{};
    next_ = (i + 1) % lists_.size();
  }
  PyObject* dict() {
    Ref d = Ref::steal(velm::py::check(PyDict_New()));
    for (const auto& [name, list] : lists_) {
      Ref key = Ref::steal(velm::py::new_text(name));
      if (PyDict_SetItem(d.get(), key.get(), list.get()) != 0) throw velm::py::PythonError{};
    }
    return d.release();
  }

 private:
  std::size_t find(std::string_view name) const {
    std::size_t i = 0;
    while (i < lists_.size() && lists_[i].first != name) ++i;
    return i;
  }
  std::vector<std::pair<std::string_view, Ref>> lists_;
  std::size_t next_ = 0;
};

PyObject* boolean(bool b) { return velm::py::check(PyBool_FromLong(b ? 1 : 0)); }
PyObject* uint(std::uint64_t n) { return velm::py::check(PyLong_FromUnsignedLongLong(n)); }
PyObject* uint_or_none(std::uint64_t n) { return n == 0 ? none() : uint(n); }

void add_values(Columns& c, const vv::LineValues& v) {
  const velm::SealedRecordData& r = v.record;
  const auto& h = v.have;
  c.add("id", text_or_none(h[F::kId], r.id));
  c.add("timestamp", text_or_none(h[F::kTimestamp], r.timestamp));
  c.add("monotonic_nanos", h[F::kNanos] ? uint(r.monotonic_nanos) : none());
  c.add("provenance", text_or_none(v.ppp.has_value(), v.ppp ? v.ppp->provenance : ""));
  c.add("place", text_or_none(v.ppp.has_value(), v.ppp ? v.ppp->place : ""));
  c.add("purpose", text_or_none(v.ppp.has_value(), v.ppp ? v.ppp->purpose : ""));
  c.add("prompt", text_or_none(h[F::kPrompt], r.prompt));
  c.add("output", text_or_none(h[F::kOutput], r.output));
  c.add("ctx", text_or_none(h[F::kCtx], r.ctx_json));
  c.add("trace", text_or_none(h[F::kTrace], r.reasoning_trace_json));
  c.add("chain_id", text_or_none(v.review.has_value(), v.review ? v.review->chain_id : ""));
  c.add("agent_decision_ref", text_or_none(v.review.has_value(), v.review ? v.review->agent_decision_ref : ""));
  c.add("resolved", v.review ? boolean(v.review->resolved) : none());
  c.add("terminal_node", text_or_none(v.review.has_value(), v.review ? v.review->terminal_node : ""));
  c.add("coherence_score", h[F::kCoherence] ? velm::py::check(PyFloat_FromDouble(r.coherence_score)) : none());
  c.add("reputation_scalar", h[F::kReputation] ? velm::py::check(PyFloat_FromDouble(r.reputation_scalar)) : none());
  c.add("insight", text_or_none(h[F::kInsight] && r.core_insight_json.has_value(), r.core_insight_json.value_or("")));
  c.add("hash", text_or_none(h[F::kHash], r.hash));
  c.add("merkle_root", text_or_none(h[F::kRoot], r.merkle_root));
  c.add("signature", h[F::kSignature] ? velm::py::check(PyBytes_FromStringAndSize(
                                            reinterpret_cast<const char*>(r.signature.data()), velm::kSignatureBytes))
                                      : none());
}

// Each row's first failure (in the report's order), by line over the series.
std::vector<const vv::Failure*> first_failures(const vv::LogReport& report) {
  std::vector<const vv::Failure*> by_line(report.lines + 1, nullptr);
  for (const vv::Failure& f : report.failures) {
    const std::uint64_t line = report.series() ? f.log_line : f.line;
    if (line != 0 && line <= report.lines && by_line[line] == nullptr) by_line[line] = &f;
  }
  return by_line;
}

void add_log(Columns& c, const api::RecordLog& log, bool verified) {
  const vv::LogReport& report = log.report;
  const std::vector<const vv::Failure*> failures = first_failures(report);
  for (std::size_t i = 0; i < log.rows.size(); ++i) {
    const std::uint64_t line = log.row_lines[i];
    const auto [file, file_line] = report.locate(line);
    c.add("file", velm::py::check(PyUnicode_DecodeFSDefaultAndSize(file.data(), static_cast<Py_ssize_t>(file.size()))));
    c.add("line", uint(file_line));
    c.add("series_line", uint(line));
    c.add("chain", uint_or_none(line <= report.line_chains.size() ? report.line_chains[line - 1] : 0));
    add_values(c, log.rows[i]);
    if (verified) {
      const vv::Failure* f = failures[line];
      c.add("verified", boolean(f == nullptr));
      c.add("failure", f ? velm::py::new_text(vv::failure_kind_name(f->kind)) : none());
    }
  }
}

constexpr velm::py::FunctionSpec kRecordsSpec{"records()", {"inputs", "public_key", "series"}, 3};

}  // namespace

PyObject* records(PyObject*, PyObject* args, PyObject* kwargs) {
  return velm::py::guard("records", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* a[3];
    velm::py::bind_arguments(kRecordsSpec, args, kwargs, a);
    ReadErrors read_errors;
    api::Request r;
    r.logs = parse_inputs(a[0], read_errors);
    if (a[1] != Py_None) r.public_key = velm::py::to_text(a[1], "public_key").str();
    r.series = velm::py::to_flag(a[2], "series");
    const api::RecordsResult result = run_unlocked([&] { return api::records(r); }, &read_errors);
    Columns columns;
    for (const api::RecordLog& log : result.logs) add_log(columns, log, result.verified);
    return columns.dict();
  });
}
