"""The HTML report opened in a real headless browser (Debian's chromium): it renders without
console errors, shows the verdict first, charts one series per chain, and shows whatever a log
holds as text."""

import json
import os
import shutil
import subprocess
import sys
from html.parser import HTMLParser

import pytest

import velm_qor
import velm_qor_verify

VERIFY = os.path.join(os.path.dirname(sys.executable), "velm-qor-verify")
CHROMIUM = shutil.which("chromium")
needs_browser = pytest.mark.skipif(
    CHROMIUM is None, reason="chromium is missing: scripts/setup-system.sh installs it for these tests"
)


class Dom(HTMLParser):
    """The elements and text of a page, as the browser serialised it."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags, self.text, self.h1, self.series, self._in = [], [], [], {}, []
        self._svg = -1
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.append(tag)
        self._in.append(tag)
        if tag == "svg":
            self._svg += 1
            self.series[self._svg] = []
        if tag == "g" and attrs.get("class") == "series":
            self.series[self._svg].append(int(attrs["data-chain"]))

    def handle_endtag(self, tag):
        while self._in and self._in.pop() != tag:
            pass

    def handle_data(self, data):
        self.text.append(data)
        if "h1" in self._in:
            self.h1.append(data)


# The browser runs without the sanitizer runtime that `make sanitize` preloads into the tests:
# it is not our code, and preloaded into it, it spins.
BROWSER_ENV = {
    k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
}


def open_in_browser(tmp_path, page: str):
    """The DOM chromium builds from the page, and the console messages it logged."""
    path = tmp_path / "report.html"
    path.write_text(page, encoding="utf-8")
    proc = subprocess.run(
        [
            CHROMIUM,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--enable-logging=stderr",
            "--v=0",
            f"--user-data-dir={tmp_path / 'profile'}",
            "--dump-dom",
            path.as_uri(),
        ],
        capture_output=True,
        timeout=120,
        text=True,
        errors="replace",
        env=BROWSER_ENV,
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    console = [line for line in proc.stderr.splitlines() if ":CONSOLE" in line]
    return Dom(proc.stdout), console


def capture(engine, tag, prompt="prompt"):
    engine.capture(
        {"tag": tag},
        f"{prompt} {tag}",
        ["step"],
        "out",
        velm_qor.PPPTriplet("p", "q", "r"),
        velm_qor.HumanDeltaChain("ref", False, "node", "chain"),
    )


@pytest.fixture(scope="module")
def three_chains(tmp_path_factory):
    """A log of three engines (three chains), eleven records interleaved, and its key."""
    path = tmp_path_factory.mktemp("html") / "three.wal"
    engines = [velm_qor.QOREngine(str(path)) for _ in range(3)]
    for i in range(11):
        capture(engines[i % 3 if i < 9 else 0], str(i))
    return path, engines[0].public_key_hex()


def command_html(tmp_path, logs, key):
    out = tmp_path / "cmd.html"
    proc = subprocess.run(
        [VERIFY, *map(str, logs), "--public-key", key, "--html", str(out)], capture_output=True, timeout=120
    )
    assert proc.returncode in (0, 1), proc.stderr
    return proc.returncode, out.read_text(encoding="utf-8")


def test_the_command_and_the_module_write_the_same_page(tmp_path, three_chains):
    path, key = three_chains
    status, page = command_html(tmp_path, [path], key)
    assert status == 0
    assert page == velm_qor_verify.verify(path, key).to_html()
    assert "<script" not in page and "://" not in page.replace("http://www.w3.org/2000/svg", "")  # nothing to load


@needs_browser
def test_a_good_log_renders_its_verdict_and_one_series_per_chain(tmp_path, three_chains):
    path, key = three_chains
    dom, console = open_in_browser(tmp_path, velm_qor_verify.verify(path, key).to_html())
    assert console == []
    assert "".join(dom.h1) == "Verdict: OK"
    assert dom.tags.index("h1") < dom.tags.index("table")  # the verdict comes first
    assert dom.series == {0: [1, 2, 3], 1: [1, 2, 3]}  # coherence, reputation
    assert "3 chains" in "".join(dom.text)


# Texts a hostile log holds: in a key name (quoted in the failure's detail) and in its file name.
HOSTILE_KEY = "<script>alert('x')</script></svg><h1>OK</h1>\"\u202eevil\u2066"
HOSTILE_NAME = "<b>x<i>\"'\u202egol.wal"


@needs_browser
def test_a_hostile_log_renders_as_text(tmp_path, three_chains):
    path, key = three_chains
    lines = path.read_bytes().splitlines(keepends=True)
    bad = json.dumps(HOSTILE_KEY)[1:-1].encode("utf-8")
    hostile = lines[:2] + [lines[2].replace(b"{", b'{"' + bad + b'":1,', 1)] + lines[3:]
    log = tmp_path / HOSTILE_NAME
    log.write_bytes(b"".join(hostile))
    status, page = command_html(tmp_path, [log], key)
    assert status == 1
    dom, console = open_in_browser(tmp_path, page)
    assert console == []
    assert "".join(dom.h1) == "Verdict: FAILED" and dom.tags.count("h1") == 1
    assert "script" not in dom.tags and "b" not in dom.tags and "i" not in dom.tags
    text = "".join(dom.text)
    # Shown as the text report shows them: markup as text, direction controls as escapes.
    detail = 'unexpected key \\"<script>alert(\'x\')</script></svg><h1>OK</h1>\\"\\u202eevil\\u2066\\"'
    assert detail in text
    text_report = subprocess.run([VERIFY, str(log), "--public-key", key], capture_output=True, timeout=120).stdout
    assert f"line 3: bad form: {detail}\n".encode() in text_report  # the text report's words
    assert "<b>x<i>\\\"'\\u202egol.wal" in text
    assert "\u202e" not in text and "\u2066" not in text


@pytest.mark.parametrize("chains, listed", [(3, 3), (1003, 1000)])
def test_long_reports_list_the_first_thousand(tmp_path, chains, listed):
    path = tmp_path / "many.wal"
    for i in range(chains):
        capture(velm_qor.QOREngine(str(path)), str(i))
    key = velm_qor.QOREngine(str(path)).public_key_hex()
    page = velm_qor_verify.verify(path, key).to_html()
    assert page.count('<g class="series"') == 2 * listed
    assert (f"{chains - listed} more chains not listed here" in page) == (chains > listed)


def test_checkpoint_coverage_is_shown(tmp_path, three_chains):
    path, key = three_chains
    wkey = tmp_path / "w.key"
    made = subprocess.run([VERIFY, "witness-key", str(wkey), "--name", "w.example"], capture_output=True, timeout=60)
    vkey = made.stdout.decode().strip()
    note = subprocess.run(
        [VERIFY, "checkpoint", str(path), "--public-key", key, "--witness-key", str(wkey), "--origin", "w.example"],
        capture_output=True,
        timeout=60,
    ).stdout
    (tmp_path / "cp").write_bytes(note)
    out = tmp_path / "cp.html"
    proc = subprocess.run(
        [
            VERIFY,
            str(path),
            "--public-key",
            key,
            "--checkpoint",
            str(tmp_path / "cp"),
            "--witness",
            vkey,
            "--html",
            str(out),
        ],
        capture_output=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    lines = len(path.read_bytes().splitlines())
    assert f"<td>lines 1..{lines} of {lines}</td><td>w.example</td>" in out.read_text(encoding="utf-8")


def test_a_page_that_cannot_be_written_is_an_error(tmp_path, three_chains):
    path, key = three_chains
    proc = subprocess.run(
        [VERIFY, str(path), "--public-key", key, "--html", str(tmp_path / "missing" / "r.html")],
        capture_output=True,
        timeout=60,
    )
    assert proc.returncode == 2
    assert proc.stdout.endswith(b"OK\n")  # the report itself is still printed
    assert b"cannot write the HTML report to" in proc.stderr and b"No such file or directory" in proc.stderr


def test_a_pickled_report_keeps_its_json_but_not_its_page(three_chains):
    import pickle

    path, key = three_chains
    report = velm_qor_verify.verify(path, key)
    copy = pickle.loads(pickle.dumps(report))
    assert copy.to_json() == report.to_json() and copy.ok
    with pytest.raises(ValueError, match="JSON text alone"):
        copy.to_html()
