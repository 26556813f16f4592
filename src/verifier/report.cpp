#include "verifier/report.h"

#include <nlohmann/json.hpp>

namespace velm::verify {

namespace {

using OrderedJson = nlohmann::ordered_json;

std::string plural(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string missing_head_detail(const ExpectedHead& head) {
  return hex_lower(head.root) + " is not the merkle_root of any line: records after it were cut off or the "
                                "log was replaced";
}

}  // namespace

std::uint64_t RunReport::missing_heads() const noexcept {
  std::uint64_t n = 0;
  for (const ExpectedHead& h : expected_heads) n += h.found ? 0 : 1;
  return n;
}

bool RunReport::ok() const noexcept {
  for (const LogReport& log : logs) {
    if (!log.ok()) return false;
  }
  return missing_heads() == 0;
}

void resolve_expected_heads(RunReport& run, const std::vector<Digest>& roots) {
  run.expected_heads.clear();
  for (std::size_t i = 0; i < roots.size(); ++i) {
    ExpectedHead head;
    head.root = roots[i];
    for (const LogReport& log : run.logs) {
      if (i < log.watch_lines.size() && log.watch_lines[i] != 0) {
        head.found = true;
        head.path = log.path;
        head.line = log.watch_lines[i];
        break;
      }
    }
    run.expected_heads.push_back(std::move(head));
  }
}

std::string render_text(const RunReport& run) {
  std::string out;
  for (const LogReport& log : run.logs) {
    out += log.path + ": " + plural(log.lines, "line", "lines") + ", " + plural(log.records, "record", "records") +
           " in " + plural(log.chains.size(), "chain", "chains") + "\n";
    for (std::size_t i = 0; i < log.chains.size(); ++i) {
      const ChainSummary& c = log.chains[i];
      out += "  chain " + std::to_string(i + 1) + ": lines " + std::to_string(c.first_line) + ".." +
             std::to_string(c.last_line) + ", " + plural(c.records, "record", "records") + ", begins " +
             (c.from_genesis ? "at genesis" : "after a break") + "; scores checked for " +
             std::to_string(c.scores_checked) + " of " + std::to_string(c.records);
      if (!c.scores_note.empty()) out += " (" + c.scores_note + ")";
      out += "\n    head " + hex_lower(c.head) + " (line " + std::to_string(c.last_line) + ", " +
             plural(c.records, "record", "records") + ")\n";
    }
    const std::size_t shown = std::min(log.failures.size(), kTextFailuresShown);
    for (std::size_t i = 0; i < shown; ++i) {
      const Failure& f = log.failures[i];
      out += "  line " + std::to_string(f.line) + ": " + std::string(failure_kind_name(f.kind)) + ": " + f.detail + "\n";
    }
    const std::uint64_t total = log.failure_total();
    if (total > shown) {
      out += "  ... " + plural(total - shown, "more failure", "more failures") + " not listed here (--json lists up to " +
             std::to_string(log.failures.size()) + ")\n";
    }
    if (total == 0) {
      out += "  every line verifies\n";
    } else {
      out += "  " + plural(total, "failure", "failures") + ":";
      const char* sep = " ";
      for (std::size_t k = 0; k < kFailureKindCount; ++k) {
        if (log.failure_counts[k] == 0) continue;
        out += sep + std::to_string(log.failure_counts[k]) + " " +
               std::string(failure_kind_name(static_cast<FailureKind>(k)));
        sep = ", ";
      }
      out += "\n";
    }
  }
  for (const ExpectedHead& h : run.expected_heads) {
    if (h.found) {
      out += "expected head " + hex_lower(h.root) + ": line " + std::to_string(h.line) + " of " + h.path + "\n";
    } else {
      out += "missing head: " + missing_head_detail(h) + "\n";
    }
  }
  out += run.ok() ? "OK\n" : "FAILED\n";
  return out;
}

std::string render_json(const RunReport& run) {
  OrderedJson doc;
  doc["ok"] = run.ok();
  doc["public_key"] = run.public_key_hex;
  OrderedJson logs = OrderedJson::array();
  for (const LogReport& log : run.logs) {
    OrderedJson l;
    l["path"] = log.path;
    l["ok"] = log.ok();
    l["lines"] = log.lines;
    l["records"] = log.records;
    OrderedJson chains = OrderedJson::array();
    for (std::size_t i = 0; i < log.chains.size(); ++i) {
      const ChainSummary& c = log.chains[i];
      OrderedJson j;
      j["chain"] = i + 1;
      j["first_line"] = c.first_line;
      j["last_line"] = c.last_line;
      j["records"] = c.records;
      j["head"] = hex_lower(c.head);
      j["start"] = c.from_genesis ? "genesis" : "after break";
      j["scores_checked"] = c.scores_checked;
      j["scores_note"] = c.scores_note;
      chains.push_back(std::move(j));
    }
    l["chains"] = std::move(chains);
    OrderedJson failures = OrderedJson::array();
    for (const Failure& f : log.failures) {
      OrderedJson j;
      j["line"] = f.line;
      j["kind"] = std::string(failure_kind_name(f.kind));
      j["detail"] = f.detail;
      failures.push_back(std::move(j));
    }
    l["failures"] = std::move(failures);
    l["failures_omitted"] = log.failures_omitted;
    OrderedJson counts = OrderedJson::object();
    for (std::size_t k = 0; k < kFailureKindCount; ++k) {
      if (log.failure_counts[k] != 0) counts[std::string(failure_kind_name(static_cast<FailureKind>(k)))] = log.failure_counts[k];
    }
    l["failure_counts"] = std::move(counts);
    logs.push_back(std::move(l));
  }
  doc["logs"] = std::move(logs);
  OrderedJson heads = OrderedJson::array();
  OrderedJson run_failures = OrderedJson::array();
  for (const ExpectedHead& h : run.expected_heads) {
    OrderedJson j;
    j["root"] = hex_lower(h.root);
    j["found"] = h.found;
    j["path"] = h.found ? OrderedJson(h.path) : OrderedJson(nullptr);
    j["line"] = h.found ? OrderedJson(h.line) : OrderedJson(nullptr);
    heads.push_back(std::move(j));
    if (!h.found) {
      run_failures.push_back({{"line", nullptr},
                              {"kind", std::string(failure_kind_name(FailureKind::kMissingHead))},
                              {"detail", missing_head_detail(h)}});
    }
  }
  doc["expected_heads"] = std::move(heads);
  doc["failures"] = std::move(run_failures);
  // Paths are bytes, not necessarily UTF-8: replace what is not rather than fail.
  return doc.dump(-1, ' ', false, OrderedJson::error_handler_t::replace) + "\n";
}

}  // namespace velm::verify
