// The report as one HTML page to open in a browser. It holds no script and loads nothing: its
// styles sit in the page, its charts are inline SVG, and a Content-Security-Policy forbids the
// rest. Every text that comes from a log (paths, details quoting lines, times) goes through
// escape_text, as in the text report, and is then HTML-escaped, so no log can add markup or
// change the verdict, which comes first.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "encoding/hex.h"
#include "verifier/base/escape.h"
#include "verifier/base/text.h"
#include "verifier/run/report.h"

namespace velm::verify {

namespace {

// Points drawn per chart at most; past that each chain's points are thinned alike.
constexpr std::size_t kDrawnPoints = 50000;
// Failures listed per log; the rest are counted.
constexpr std::size_t kListedFailures = 1000;

std::string html(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A text from a log, as the text report shows it, made HTML.
std::string shown(std::string_view log_text) { return html(escape_text(log_text)); }

std::string num(std::uint64_t n) { return std::to_string(n); }

constexpr std::string_view kHead =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">"
    "<title>velm-qor-verify report</title><style>"
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin:.5em 0 1em}"
    "td,th{border:1px solid #ccc;padding:.2em .5em;text-align:left;vertical-align:top}"
    "td.t{font-family:monospace;white-space:pre-wrap;word-break:break-all}"
    ".ok{color:#fff;background:#1a7f37;padding:.2em .6em}.failed{color:#fff;background:#c62828;padding:.2em .6em}"
    "svg{border:1px solid #ccc;margin:.3em 1em .3em 0}"
    "</style></head><body>\n";

void chains_table(const LogReport& log, Buffered& out) {
  out << "<h3>Chains</h3>\n<table><tr><th>chain</th><th>lines</th><th>first time</th><th>last time</th>"
         "<th>records</th><th>begins</th><th>scores checked</th></tr>\n";
  std::uint64_t i = 0;
  log.for_each_chain([&](const ChainSummary& c) {
    if (i >= kListedChains) return;
    const ChainChart* chart = i < log.chart.size() ? &log.chart[i] : nullptr;
    out << "<tr><td>" << num(++i) << "</td><td>" << num(c.first_line) << ".." << num(c.last_line) << "</td><td>"
        << (chart ? shown(chart->first_time) : "") << "</td><td>" << (chart ? shown(chart->last_time) : "")
        << "</td><td>" << num(c.records) << "</td><td>" << (c.from_genesis ? "at genesis" : "after a break")
        << "</td><td>" << num(c.scores_checked) << " of " << num(c.records);
    if (!c.scores_note.empty()) out << " (" << html(c.scores_note) << ")";
    out << "</td></tr>\n";
  });
  out << "</table>\n";
  if (log.chain_count > kListedChains) {
    out << "<p>" << count_text(log.chain_count - kListedChains, "more chain", "more chains")
        << " not listed here</p>\n";
  }
}

void failures_table(const LogReport& log, Buffered& out) {
  const std::uint64_t total = log.failure_total();
  if (total == 0) {
    out << "<p>every line verifies</p>\n";
    return;
  }
  out << "<h3>Failures</h3>\n<p>" << count_text(total, "failure", "failures") << ":";
  const char* sep = " ";
  for (std::size_t k = 0; k < kFailureKindCount; ++k) {
    if (log.failure_counts[k] == 0) continue;
    out << sep << num(log.failure_counts[k]) << " " << failure_kind_name(static_cast<FailureKind>(k));
    sep = ", ";
  }
  out << "</p>\n<table><tr><th>line</th><th>kind</th><th>detail</th></tr>\n";
  const std::size_t listed = std::min(log.failures.size(), kListedFailures);
  for (std::size_t k = 0; k < listed; ++k) {
    const Failure& f = log.failures[k];
    out << "<tr><td>";
    if (f.line != 0) {
      out << num(f.line);
      if (log.series()) out << " of " << shown(f.file) << " (line " << num(f.log_line) << " of the series)";
    }
    out << "</td><td>" << failure_kind_name(f.kind) << "</td><td class=\"t\">" << shown(f.detail) << "</td></tr>\n";
  }
  out << "</table>\n";
  if (total > listed) {
    out << "<p>" << count_text(total - listed, "more failure", "more failures") << " not listed here</p>\n";
  }
}

std::string coordinate(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

std::string label(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

// One chart: a value of every charted chain over time, one polyline (a series) per chain.
void chart_svg(const LogReport& log, const char* title, double ChartPoint::*value, Buffered& out) {
  double t0 = INFINITY, t1 = -INFINITY, v0 = INFINITY, v1 = -INFINITY;
  std::size_t points = 0;
  for (const ChainChart& c : log.chart) {
    for (const ChartPoint& p : c.points) {
      if (!std::isfinite(p.*value)) continue;
      t0 = std::min(t0, p.time), t1 = std::max(t1, p.time);
      v0 = std::min(v0, p.*value), v1 = std::max(v1, p.*value);
      ++points;
    }
  }
  if (points == 0) return;
  if (t1 <= t0) t0 -= 1, t1 += 1;
  if (v1 <= v0) v0 -= 0.5, v1 += 0.5;
  constexpr double kW = 760, kH = 220, kLeft = 50, kTop = 20;
  const std::size_t step = (points + kDrawnPoints - 1) / kDrawnPoints;
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"820\" height=\"270\" role=\"img\" aria-label=\"" << title
      << "\"><text x=\"" << coordinate(kLeft) << "\" y=\"14\" font-size=\"13\">" << title
      << " over time, one line per chain</text>"
      << "<text x=\"4\" y=\"" << coordinate(kTop + 10) << "\" font-size=\"10\">" << label(v1) << "</text>"
      << "<text x=\"4\" y=\"" << coordinate(kTop + kH) << "\" font-size=\"10\">" << label(v0) << "</text>"
      << "<rect x=\"" << coordinate(kLeft) << "\" y=\"" << coordinate(kTop) << "\" width=\"" << coordinate(kW)
      << "\" height=\"" << coordinate(kH) << "\" fill=\"none\" stroke=\"#ccc\"/>";
  for (std::size_t i = 0; i < log.chart.size(); ++i) {
    const std::vector<ChartPoint>& ps = log.chart[i].points;
    if (ps.empty()) continue;
    out << "<g class=\"series\" data-chain=\"" << num(i + 1) << "\"><title>chain " << num(i + 1)
        << "</title><polyline fill=\"none\" stroke-linecap=\"round\" stroke-width=\"1.5\" stroke=\"hsl("
        << num((i * 137) % 360) << ",70%,40%)\" points=\"";
    std::size_t drawn = 0;
    for (std::size_t k = 0; k < ps.size(); k += step) {
      if (!std::isfinite(ps[k].*value)) continue;
      const std::string xy = coordinate(kLeft + (ps[k].time - t0) / (t1 - t0) * kW) + "," +
                             coordinate(kTop + (v1 - ps[k].*value) / (v1 - v0) * kH);
      out << (drawn++ ? " " : "") << xy;
      if (ps.size() == 1) out << " " << xy;  // a single record shows as a dot
    }
    out << "\"/></g>";
  }
  out << "</svg>\n";
}

void log_section(const LogReport& log, Buffered& out) {
  out << "<h2>" << shown(log.path) << "</h2>\n";
  if (!log.readable()) {
    out << "<p>cannot be read: <span class=\"t\">" << shown(log.error) << "</span></p>\n";
    return;
  }
  out << "<p>" << count_text(log.lines, "line", "lines") << " (" << count_text(log.bytes, "byte", "bytes") << "), "
      << count_text(log.records, "record", "records") << " in " << count_text(log.chain_count, "chain", "chains")
      << "</p>\n";
  if (log.series()) {
    out << "<table><tr><th>piece</th><th>lines</th><th>bytes</th></tr>\n";
    for (const PieceInfo& p : log.pieces) {
      out << "<tr><td class=\"t\">" << shown(p.path) << "</td><td>" << count_text(p.lines, "line", "lines");
      if (p.lines > 0) out << " (" << num(p.first_line) << ".." << num(p.first_line + p.lines - 1) << ")";
      out << "</td><td>" << num(p.bytes) << "</td></tr>\n";
    }
    out << "</table>\n";
  }
  failures_table(log, out);
  chains_table(log, out);
  if (!log.chart.empty()) {
    out << "<h3>Scores over time</h3>\n<p>The chains listed above, each a line of its own colour "
           "(hover a line for its chain).</p>\n";
    chart_svg(log, "coherence_score", &ChartPoint::coherence, out);
    chart_svg(log, "reputation_scalar", &ChartPoint::reputation, out);
  }
}

void checkpoints_section(const RunReport& run, Buffered& out) {
  if (run.checkpoints.empty()) return;
  const std::uint64_t lines = run.logs.empty() ? 0 : run.logs.front().lines;
  out << "<h2>Checkpoints</h2>\n<table><tr><th>checkpoint</th><th>covers</th><th>signed by</th></tr>\n";
  for (const CheckpointCover& c : run.checkpoints) {
    out << "<tr><td class=\"t\">" << shown(c.source) << "</td><td>";
    if (!c.opened) {
      out << "nothing: " << shown(c.error);
    } else {
      out << "lines 1.." << num(c.size) << " of " << num(lines);
    }
    out << "</td><td>";
    for (std::size_t i = 0; i < c.verified_by.size(); ++i) out << (i ? ", " : "") << shown(c.verified_by[i]);
    out << "</td></tr>\n";
  }
  out << "</table>\n";
}

}  // namespace

void render_html(const RunReport& run, const Sink& sink) {
  Buffered out(sink);
  out << kHead << "<h1>Verdict: <span class=\"" << (run.ok() ? "ok\">OK" : "failed\">FAILED") << "</span></h1>\n";
  out << "<p>public key " << html(run.public_key_hex) << "</p>\n";
  if (!run.replay_note.empty()) out << "<p>scores not checked: " << shown(run.replay_note) << "</p>\n";
  for (const ExpectedHead& h : run.expected_heads) {
    out << "<p>" << (h.found ? "expected head " : "missing head: ") << hex_lower(h.root);
    if (h.found) out << ": line " << num(h.line) << " of " << shown(h.path);
    out << "</p>\n";
  }
  checkpoints_section(run, out);
  for (const LogReport& log : run.logs) log_section(log, out);
  out << "</body></html>\n";
}

std::string render_html(const RunReport& run) {
  std::string s;
  render_html(run, [&](std::string_view piece) { s.append(piece); });
  return s;
}

}  // namespace velm::verify
