"""Reading files through every entry point that takes a path: endless
devices, FIFOs without a writer (and Ctrl-C while waiting on them), pipes
and process substitution, names that are not UTF-8 as str, bytes and path
objects, and the OSError of a directory or a missing file. What could hang
or abort runs in a child process under a time and an address-space limit."""

from __future__ import annotations

import json
import os
import pathlib
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import quillscore
from quillscore import _vireo as v
from quillscore.cli import sample_paths

GT, RESULTS = sample_paths()

# (entry point, what the file P holds, an expression reading P that gives a
# comparable value). The other side of two-file calls is the bundled sample.
# "repeated" results give a key twice, which column storage refuses: evaluate
# then takes its dict route with the same bytes.
ENTRY_POINTS = [
    ("load_json", "gt", "v.load_json(P)"),
    ("read_file_only", "gt", "v.read_file_only(P)"),
    ("read_file", "gt", "bytes(v.read_file(P))"),
    ("load_compact_bbox", "results", "v.load_compact_bbox(P, results=True)[1].annotation_count"),
    ("COCO", "gt", "quillscore.COCO(P).dataset"),
    ("loadRes", "results", "quillscore.COCO(GT).loadRes(P).dataset['annotations']"),
    ("LVISEval", "results", "quillscore.LVISEval(GT, P, 'bbox').dt_anns"),
    ("evaluate", "gt", "list(quillscore.evaluate(P, RESULTS).stats)"),
    ("evaluate dict route", "repeated", "list(quillscore.evaluate(GT, P).stats)"),
]
NATIVE = {"load_json", "read_file_only", "read_file", "load_compact_bbox"}
IDS = [e[0] for e in ENTRY_POINTS]


def contents(role: str) -> bytes:
    text = pathlib.Path(GT if role == "gt" else RESULTS).read_bytes()
    return text.replace(b'"score"', b'"score": 7, "score"', 1) if role == "repeated" else text


def call(expr: str, path):
    return eval(expr, {"v": v, "quillscore": quillscore, "GT": GT, "RESULTS": RESULTS, "P": path})


# Reads P by each expression and prints, after "ready", one JSON line apiece.
CHILD = """
import json, resource
resource.setrlimit(resource.RLIMIT_AS, ({memory}, {memory}))
import quillscore, quillscore.cli
from quillscore import _vireo as v
GT, RESULTS, P = {gt!r}, {results!r}, {path!r}
{setup}
print("ready", flush=True)
for expr in {exprs!r}:
    try:
        # Compiled first: eval() of a string would mark a KeyboardInterrupt
        # as unhandled even when caught, and the child would die by SIGINT.
        outcome = ["returned", repr(eval(compile(expr, "<expr>", "eval")))[:80]]
    except BaseException as e:
        outcome = [type(e).__name__, str(e)]
    print(json.dumps(outcome), flush=True)
"""


def child(exprs: list, path, setup: str = "", memory: int = 3 << 30) -> subprocess.Popen:
    code = CHILD.format(memory=memory, gt=GT, results=RESULTS, path=path, exprs=exprs, setup=setup)
    # Away from the checkout, whose source tree would shadow the installed package.
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, cwd=tempfile.gettempdir())


def outcomes(proc: subprocess.Popen, timeout: float) -> list:
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"no answer within {timeout} s: {out} {err[-500:]}")
    assert proc.returncode == 0, (proc.returncode, out, err[-500:])
    return [json.loads(line) for line in out.splitlines() if line != "ready"]


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom"])
def test_endless_devices_fail_at_their_first_nul(device):
    got = outcomes(child([e[2] for e in ENTRY_POINTS], device), timeout=60)
    for name, (kind, message) in zip(IDS, got, strict=True):
        # random bytes may open with JSON whitespace, newlines included
        assert kind == "ValueError" and re.search(r" at line \d+ column \d+$", message), (name, message)
        if device == "/dev/zero":
            prefix = "" if name == "load_compact_bbox" else "JSON snapshot: "
            assert message == prefix + "expected value at line 1 column 1", name


def test_endless_plausible_stream_ends_in_memory_error():
    setup = ("import subprocess\nfeed = subprocess.Popen(['yes', '[1,'], stdout=subprocess.PIPE)\n"
             "P = '/dev/fd/%d' % feed.stdout.fileno()")
    [(kind, _)] = outcomes(child(["v.load_json(P)"], None, setup, 2 << 30), timeout=120)
    assert kind == "MemoryError"


# The reading thread blocks SIGINT, so that none of its calls is interrupted:
# the signal lands on an idle thread, and the read must notice all the same.
OTHER_THREAD = ("import signal, threading\n"
                "threading.Thread(target=threading.Event().wait, daemon=True).start()\n"
                "signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT])")
INTERRUPTIONS = {name: (expr, "") for name, _, expr in ENTRY_POINTS if name != "read_file"}
INTERRUPTIONS["command line"] = ("quillscore.cli.main([GT, P])", "")
INTERRUPTIONS["signal to another thread"] = ("v.load_json(P)", OTHER_THREAD)


@pytest.mark.parametrize("case", INTERRUPTIONS)
def test_ctrl_c_while_a_fifo_waits_for_a_writer(tmp_path, case):
    expr, setup = INTERRUPTIONS[case]
    os.mkfifo(tmp_path / "fifo")
    proc = child([expr], str(tmp_path / "fifo"), setup)
    assert proc.stdout.readline() == "ready\n"
    time.sleep(0.5)
    assert proc.poll() is None, "the read did not wait"
    proc.send_signal(signal.SIGINT)
    # The answer within 1.5 s; the interpreter's exit may take longer on a busy machine.
    if not select.select([proc.stdout], [], [], 1.5)[0]:
        proc.kill()
        proc.communicate()
        pytest.fail("still reading 1.5 s after SIGINT")
    assert outcomes(proc, timeout=30) == [["KeyboardInterrupt", ""]]


FIFO_WRITERS = {  # the writer's shell command ($0 the source, $1 the FIFO) -> load_json's outcome
    'sleep 0.3; cat "$0" > "$1"': ["returned", "True"],
    '{ head -c 100000 "$0"; sleep 0.3; tail -c +100001 "$0"; } > "$1"': ["returned", "True"],
    ': > "$1"': ["ValueError", "JSON snapshot: EOF while parsing a value at line 1 column 0"],
}


@pytest.mark.parametrize("writer", FIFO_WRITERS, ids=["late", "slow", "writes nothing"])
def test_fifo_writers(tmp_path, writer):
    os.mkfifo(tmp_path / "fifo")
    proc = child(["v.load_json(P) == v.load_json(GT)"], str(tmp_path / "fifo"))
    feed = subprocess.Popen(["sh", "-c", writer, GT, str(tmp_path / "fifo")])
    try:
        assert outcomes(proc, timeout=30) == [FIFO_WRITERS[writer]]
    finally:
        feed.kill()
        feed.wait()


@pytest.mark.parametrize("command", [
    "Q <(cat GT) RESULTS",
    "Q GT <(cat RESULTS)",
    "Q GT <(cat REPEATED)",
    "Q <(cat GT) <(cat REPEATED)",
    "cat REPEATED | Q GT /dev/stdin",
])
def test_command_line_reads_each_pipe_once(tmp_path, command):
    (tmp_path / "repeated.json").write_bytes(contents("repeated"))
    words = {"Q": [sys.executable, "-m", "quillscore", "--json", "-"], "GT": [GT],
             "RESULTS": [RESULTS], "REPEATED": [str(tmp_path / "repeated.json")]}
    for key, value in words.items():
        command = command.replace(key, shlex.join(value))
    r = subprocess.run(["bash", "-c", command], capture_output=True, text=True, timeout=120,
                       cwd=tempfile.gettempdir())
    assert r.returncode == 0, r.stderr
    assert list(json.loads(r.stdout)["stats"].values()) == list(quillscore.evaluate(GT, RESULTS).stats)


PATH_FORMS = {
    "str with surrogate escapes": os.fsdecode,
    "bytes": lambda b: b,
    "pathlib": lambda b: pathlib.Path(os.fsdecode(b)),
    "PathLike giving bytes": lambda b: type("BytesPath", (), {"__fspath__": lambda self: b})(),
}


@pytest.fixture(scope="module")
def odd_names(tmp_path_factory):
    """role -> (plain path, the same bytes under a name that is not UTF-8)."""
    d = tmp_path_factory.mktemp("names")
    files = {}
    for role in ("gt", "results", "repeated"):
        plain, odd = d / f"{role}.json", os.fsencode(d / role) + b"_\xfe\xff.json"
        plain.write_bytes(contents(role))
        shutil.copyfile(plain, odd)
        files[role] = (str(plain), odd)
    return files


@pytest.mark.parametrize("form", PATH_FORMS)
@pytest.mark.parametrize("name,role,expr", ENTRY_POINTS, ids=IDS)
def test_names_that_are_not_utf8(odd_names, form, name, role, expr):
    plain, odd = odd_names[role]
    assert call(expr, PATH_FORMS[form](odd)) == call(expr, plain)


@pytest.mark.parametrize("form", PATH_FORMS)
@pytest.mark.parametrize("name,role,expr", ENTRY_POINTS, ids=IDS)
@pytest.mark.parametrize("what,error,message", [
    ("missing", FileNotFoundError, "No such file or directory (os error 2)"),
    ("directory", IsADirectoryError, "Is a directory (os error 21)"),
])
def test_file_errors_keep_their_messages(tmp_path, form, name, role, expr, what, error, message):
    path = os.fsencode(tmp_path) + b"/gt_\xfe"
    if what == "directory":
        os.mkdir(path)
    with pytest.raises(error) as exc:
        call(expr, PATH_FORMS[form](path))
    assert str(exc.value) == message
    notes = [] if name in NATIVE else [f"while reading {os.fsdecode(path)}"]
    assert getattr(exc.value, "__notes__", []) == notes


def test_command_line_shows_names_it_cannot_decode(odd_names):
    gt, results = (os.fsdecode(odd_names[role][1]) for role in ("gt", "repeated"))
    shown = [name.encode("utf-8", "backslashreplace").decode() for name in (gt, results)]
    env = dict(os.environ, PYTHONIOENCODING="utf-8")  # a standard output that refuses surrogates
    runs = [subprocess.run([sys.executable, "-m", "quillscore", gt, results + extra],
                           capture_output=True, text=True, timeout=120, cwd=tempfile.gettempdir(),
                           env=env) for extra in ("", "x")]
    assert runs[0].returncode == 0, runs[0].stderr
    assert runs[0].stdout.splitlines()[0] == f"bbox evaluation of {shown[1]} against {shown[0]}"
    assert (runs[1].returncode, runs[1].stderr) == (1, f"quillscore: error: {shown[1]}x: no such file\n")
