#include "verifier/run/report.h"

#include <tuple>

#include "encoding/json_writer.h"
#include "verifier/base/escape.h"
#include "verifier/base/text.h"

namespace velm::verify {

namespace {

std::string missing_head_detail(const ExpectedHead& head) {
  return hex_lower(head.root) +
         " is not the merkle_root of any line: records after it were cut off or the "
         "log was replaced";
}

void text_log(const LogReport& log, Buffered& out) {
  const std::string path = escape_text(log.path);
  if (!log.readable()) {
    out << path << ": cannot be read: " << escape_text(log.error) << "\n";
    return;
  }
  out << path << ": " << count_text(log.lines, "line", "lines") << " (" << count_text(log.bytes, "byte", "bytes")
      << "), " << count_text(log.records, "record", "records") << " in "
      << count_text(log.chain_count, "chain", "chains") << "\n";
  for (const PieceInfo& p : log.pieces) {
    out << "  piece " << escape_text(p.path) << ": " << count_text(p.lines, "line", "lines");
    if (p.lines > 0)
      out << " (" << std::to_string(p.first_line) << ".." << std::to_string(p.first_line + p.lines - 1) << ")";
    out << ", " << count_text(p.bytes, "byte", "bytes") << "\n";
  }
  if (!log.hint.empty()) out << "  hint: " << escape_text(log.hint) << "\n";
  std::uint64_t i = 0;
  log.for_each_chain([&](const ChainSummary& c) {
    out << "  chain " << std::to_string(++i) << ": lines " << std::to_string(c.first_line) << ".."
        << std::to_string(c.last_line) << ", " << count_text(c.records, "record", "records") << ", begins "
        << (c.from_genesis ? "at genesis" : "after a break") << "; scores checked for "
        << std::to_string(c.scores_checked) << " of " << std::to_string(c.records);
    if (!c.scores_note.empty()) out << " (" << c.scores_note << ")";
    out << "\n    head " << hex_lower(c.head) << " (line " << std::to_string(c.last_line) << ", "
        << count_text(c.records, "record", "records") << ")\n";
  });
  const std::size_t shown = std::min(log.failures.size(), kTextFailuresShown);
  for (std::size_t k = 0; k < shown; ++k) {
    const Failure& f = log.failures[k];
    out << "  ";
    if (f.line != 0) {
      out << "line " << std::to_string(f.line);
      if (log.series())
        out << " of " << escape_text(f.file) << " (line " << std::to_string(f.log_line) << " of the series)";
      out << ": ";
    }
    out << failure_kind_name(f.kind) << ": " << escape_text(f.detail) << "\n";
  }
  const std::uint64_t total = log.failure_total();
  if (total > shown) {
    out << "  ... " << count_text(total - shown, "more failure", "more failures")
        << " not listed here (--json lists up to " << std::to_string(log.failures.size()) << ")\n";
  }
  if (total == 0) {
    out << "  every line verifies\n";
    return;
  }
  out << "  " << count_text(total, "failure", "failures") << ":";
  const char* sep = " ";
  for (std::size_t k = 0; k < kFailureKindCount; ++k) {
    if (log.failure_counts[k] == 0) continue;
    out << sep << std::to_string(log.failure_counts[k]) << " " << failure_kind_name(static_cast<FailureKind>(k));
    sep = ", ";
  }
  out << "\n";
}

void json_string(JsonWriter& w, std::string_view text) { w.string(valid_utf8(text)); }

void json_failure(JsonWriter& w, const Failure& f) {
  w.begin_object();
  w.key("file");
  json_string(w, f.file);
  w.key("line");
  if (f.line == 0) {
    w.null();
  } else {
    w.uint64(f.line);
  }
  w.key("kind");
  w.string(failure_kind_name(f.kind));
  w.key("detail");
  json_string(w, f.detail);
  if (f.log_line != 0) {
    w.key("log_line");
    w.uint64(f.log_line);
  }
  w.end_object();
}

// Hands on what `w` holds; the document goes on in `w`.
void pass_on(JsonWriter& w, Buffered& out) {
  out << w.text();
  w.drop_text();
}

void json_chain(JsonWriter& w, std::uint64_t number, const ChainSummary& c) {
  w.begin_object();
  w.key("chain");
  w.uint64(number);
  w.key("first_line");
  w.uint64(c.first_line);
  w.key("last_line");
  w.uint64(c.last_line);
  w.key("records");
  w.uint64(c.records);
  w.key("head");
  w.string(hex_lower(c.head));
  w.key("start");
  w.string(c.from_genesis ? "genesis" : "after break");
  w.key("scores_checked");
  w.uint64(c.scores_checked);
  w.key("scores_note");
  w.string(c.scores_note);
  w.end_object();
}

void json_piece(JsonWriter& w, const PieceInfo& p) {
  w.begin_object();
  w.key("path");
  json_string(w, p.path);
  w.key("first_line");
  w.uint64(p.first_line);
  w.key("lines");
  w.uint64(p.lines);
  w.key("bytes");
  w.uint64(p.bytes);
  w.end_object();
}

void json_failures(JsonWriter& w, const LogReport& log) {
  w.key("failures");
  w.begin_array();
  for (const Failure& f : log.failures) json_failure(w, f);
  w.end_array();
  w.key("failures_omitted");
  w.uint64(log.failures_omitted);
  w.key("failure_counts");
  w.begin_object();
  for (std::size_t k = 0; k < kFailureKindCount; ++k) {
    if (log.failure_counts[k] == 0) continue;
    w.key(failure_kind_name(static_cast<FailureKind>(k)));
    w.uint64(log.failure_counts[k]);
  }
  w.end_object();
}

// One log's object; its chains are handed on as they are read, so that a log of many chains
// needs no more memory to report than to verify.
void json_log(const LogReport& log, JsonWriter& w, Buffered& out) {
  w.begin_object();
  w.key("path");
  json_string(w, log.path);
  w.key("readable");
  w.boolean(log.readable());
  w.key("error");
  if (log.readable()) {
    w.null();
  } else {
    json_string(w, log.error);
  }
  w.key("ok");
  w.boolean(log.ok());
  for (const auto& [name, value] :
       {std::pair{"lines", log.lines}, std::pair{"bytes", log.bytes}, std::pair{"records", log.records}}) {
    w.key(name);
    w.uint64(value);
  }
  w.key("chains");
  w.begin_array();
  std::uint64_t number = 0;
  log.for_each_chain([&](const ChainSummary& c) {
    json_chain(w, ++number, c);
    pass_on(w, out);
  });
  w.end_array();
  json_failures(w, log);
  if (log.series()) {
    w.key("pieces");
    w.begin_array();
    for (const PieceInfo& p : log.pieces) json_piece(w, p);
    w.end_array();
  }
  if (!log.hint.empty()) {
    w.key("hint");
    json_string(w, log.hint);
  }
  w.end_object();
  pass_on(w, out);
}

void json_expected_heads(JsonWriter& w, const RunReport& run) {
  w.key("expected_heads");
  w.begin_array();
  for (const ExpectedHead& h : run.expected_heads) {
    w.begin_object();
    w.key("root");
    w.string(hex_lower(h.root));
    w.key("found");
    w.boolean(h.found);
    w.key("path");
    if (h.found) {
      json_string(w, h.path);
    } else {
      w.null();
    }
    w.key("line");
    if (h.found) {
      w.uint64(h.line);
    } else {
      w.null();
    }
    w.end_object();
  }
  w.end_array();
  w.key("failures");
  w.begin_array();
  for (const ExpectedHead& h : run.expected_heads) {
    if (!h.found) json_failure(w, {{}, 0, FailureKind::kMissingHead, missing_head_detail(h)});
  }
  w.end_array();
}

}  // namespace

std::uint64_t RunReport::missing_heads() const noexcept {
  std::uint64_t n = 0;
  for (const ExpectedHead& h : expected_heads) n += h.found ? 0 : 1;
  return n;
}

bool RunReport::all_readable() const noexcept {
  for (const LogReport& log : logs) {
    if (!log.readable()) return false;
  }
  return true;
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
      if (i < log.expected_head_lines.size() && log.expected_head_lines[i] != 0) {
        head.found = true;
        std::tie(head.path, head.line) = log.locate(log.expected_head_lines[i]);
        break;
      }
    }
    run.expected_heads.push_back(std::move(head));
  }
}

void render_text(const RunReport& run, const Sink& sink) {
  Buffered out(sink);
  if (!run.replay_note.empty()) out << "scores not checked: " << escape_text(run.replay_note) << "\n";
  for (const LogReport& log : run.logs) text_log(log, out);
  for (const ExpectedHead& h : run.expected_heads) {
    if (h.found) {
      out << "expected head " << hex_lower(h.root) << ": line " << std::to_string(h.line) << " of "
          << escape_text(h.path) << "\n";
    } else {
      out << "missing head: " << missing_head_detail(h) << "\n";
    }
  }
  out << (run.ok() ? "OK\n" : "FAILED\n");
}

void render_json(const RunReport& run, const Sink& sink) {
  Buffered out(sink);
  JsonWriter w;
  w.begin_object();
  w.key("format");
  w.uint64(kReportFormat);
  w.key("ok");
  w.boolean(run.ok());
  w.key("public_key");
  w.string(run.public_key_hex);
  w.key("scores_replayed");
  w.boolean(run.replay_note.empty());
  w.key("replay_note");
  json_string(w, run.replay_note);
  w.key("logs");
  w.begin_array();
  for (const LogReport& log : run.logs) json_log(log, w, out);
  w.end_array();
  json_expected_heads(w, run);
  w.end_object();
  w.line_feed();
  pass_on(w, out);
}

std::string render_text(const RunReport& run) {
  std::string s;
  render_text(run, [&](std::string_view piece) { s.append(piece); });
  return s;
}

std::string render_json(const RunReport& run) {
  std::string s;
  render_json(run, [&](std::string_view piece) { s.append(piece); });
  return s;
}

}  // namespace velm::verify
