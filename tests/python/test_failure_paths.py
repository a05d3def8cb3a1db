"""What a service must be able to trust when things go wrong: a failed call
changes nothing, and no input ends, hangs or corrupts the process."""
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from durevarare import BM25
from conftest import BUILD_DIR, DICT_DIR, JIEBA_PATHS as PATHS, run_python


def dump_text(model, folder, name="model.json"):
    path = folder / name
    model.dump(str(path))
    return path.read_text(encoding="utf-8")


# --- load ------------------------------------------------------------------------------------------

VALID = '{"_b": 0.5, "_doc_count": 9, "_doc_length_average": 2.0, "_doc_token_frequency": {"new": 4}, "_k1": 1.0}'


# The C++ tests pin every member's check; these are the slips as Python meets them.
@pytest.mark.parametrize("text, error, message", [
    ("model.json", RuntimeError, "load doc_count failed"),  # a path given where the text belongs
    (VALID.replace("2.0", "0." + "0" * 309 + "1"), IndexError, "stod argument out of range"),
])
def test_failed_load_leaves_the_model_as_it_was(tmp_path, text, error, message):
    model = BM25()
    model.train(["old", "old", "token"])
    before = dump_text(model, tmp_path), model.encode_query(["old", "new"])
    with pytest.raises(error, match="^" + message + "$"):
        model.load(text)
    assert (dump_text(model, tmp_path), model.encode_query(["old", "new"])) == before


MEMORY = textwrap.dedent("""
    import os, resource, tempfile
    import durevarare

    def address_space():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * 4096

    model = durevarare.BM25()
    for start in range(0, 380_000, 20_000):
        model.train([f"{i:08d}" for i in range(start, start + 20_000)])
    # Enough new tokens to grow the table (to 2^20 slots, 16 MB) and its arena.
    document = [f"new {i}" if i % 2 else f"a much longer new token {i}" for i in range(20_000)]
    folder = tempfile.mkdtemp()
    # Each child runs out of memory at another point of the same train call.
    for margin in range(0, 40, 2):
        pid = os.fork()
        if pid == 0:
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + margin * 2**20, hard))
            try:
                model.train(document)
                outcome = "trained"
            except MemoryError:
                outcome = "MemoryError"
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            if outcome == "MemoryError":
                model.dump(f"{folder}/{margin}.json")
            os.write(1, f"{margin} {outcome}\\n".encode())
            os._exit(0)
        os.waitpid(pid, 0)
    model.dump(f"{folder}/before.json")
    print("folder", folder)
""")


def test_memory_error_in_train_leaves_the_model_as_it_was():
    result = run_python(MEMORY, timeout=600)
    assert result.returncode == 0, result.stderr.decode()
    lines = [line.split() for line in result.stdout.decode().splitlines()]
    folder = lines.pop()[1]
    before = open(f"{folder}/before.json").read()
    failed = [margin for margin, outcome in lines if outcome == "MemoryError"]
    assert failed and lines[-1][1] == "trained"
    for margin in failed:
        assert open(f"{folder}/{margin}.json").read() == before, margin
    subprocess.run(["rm", "-rf", folder])


# --- dump ------------------------------------------------------------------------------------------

def test_dump_retries_an_open_interrupted_by_a_signal(tmp_path):
    """The FIFO's reader arrives after a signal handler has run."""
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["sh", "-c", f"sleep 1; cat '{fifo}'"], stdout=subprocess.PIPE)
    caught = []
    previous = signal.signal(signal.SIGALRM, lambda *_: caught.append(True))
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        model = BM25()
        model.train(["a"])
        model.dump(str(fifo))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert reader.communicate(timeout=30)[0].decode().startswith("{")
    assert caught


# A handler that raises stops a dump blocked on a FIFO with no reader, as it
# stops Python's own open; the exception reaches the caller and the FIFO stays.
@pytest.mark.parametrize("signum, error", [(signal.SIGALRM, TimeoutError), (signal.SIGINT, KeyboardInterrupt)])
def test_a_signal_handler_that_raises_stops_a_blocked_dump(tmp_path, signum, error):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)

    def on_alarm(*_):
        if signum == signal.SIGALRM:
            raise TimeoutError("no reader")
        os.kill(os.getpid(), signal.SIGINT)  # as Ctrl-C would: the default handler raises

    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        with pytest.raises(error):
            BM25().dump(str(fifo))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert os.listdir(tmp_path) == ["pipe"]


BLOCKED_IN_A_THREAD = textwrap.dedent("""
    import os, signal, sys, threading, time, durevarare
    fifo = sys.argv[1]
    os.mkfifo(fifo)
    model = durevarare.BM25()
    model.train(["a"])
    dumping = threading.Thread(target=model.dump, args=(fifo,))
    dumping.start()
    time.sleep(0.3)  # the dump now waits for a reader
    try:
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(20)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    with open(fifo) as reader:  # a reader comes: the dump goes on and ends
        text = reader.read()
    dumping.join()
    print(text.startswith("{"))
""")


# A dump from another thread that blocks on a FIFO holds up nothing: the
# main thread runs, Ctrl-C reaches it, and the dump ends once a reader comes.
def test_a_dump_blocked_in_another_thread_leaves_the_interpreter_free(tmp_path):
    result = subprocess.run([sys.executable, "-c", BLOCKED_IN_A_THREAD, str(tmp_path / "pipe")],
                            capture_output=True, text=True, timeout=60,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join([str(BUILD_DIR), os.environ.get("PYTHONPATH", "")])})
    assert result.stdout.split() == ["interrupted", "True"], result.stderr


STDOUT = textwrap.dedent("""
    import sys, durevarare
    model = durevarare.BM25()
    model.train(["a"])
    print("before", flush=True)
    if sys.argv[1] == "dump":
        model.dump("/dev/stdout")
    else:
        model.dump(sys.argv[2])
        with open("/dev/stdout", "w") as out:
            out.write(open(sys.argv[2]).read())
    print("after")
""")


# Standard output redirected to a file (>> out.txt): the dump writes it as
# opening /dev/stdout would, and the file stays the one the shell opened.
def test_dump_to_redirected_standard_output_writes_it_as_open_would(tmp_path):
    outputs = []
    for way in ("dump", "open"):
        out = tmp_path / f"{way}.txt"
        with open(out, "ab") as redirected:
            inode = os.fstat(redirected.fileno()).st_ino
            result = subprocess.run([sys.executable, "-c", STDOUT, way, str(tmp_path / "m.json")], stdout=redirected,
                                    stderr=subprocess.PIPE, timeout=60,
                                    env={**os.environ, "PYTHONPATH": str(BUILD_DIR)})
        assert result.returncode == 0, result.stderr.decode()
        assert os.stat(out).st_ino == inode
        outputs.append(out.read_text())
    assert outputs[0] == outputs[1] and outputs[0].startswith("{") and outputs[0].endswith("}after\n")


# --- Jieba data files ------------------------------------------------------------------------------

CONSTRUCT = textwrap.dedent("""
    import os, durevarare
    paths = {paths!r}
    if {fifo!r}:
        os.mkfifo({fifo!r})
    try:
        durevarare.Jieba(**paths)
    except (OSError, ValueError) as error:
        print(type(error).__name__, error)
    else:
        print("constructed")
""")


# Each file goes through the same check; a hang or an abort would fail the run.
@pytest.mark.parametrize("field, source", [
    ("dict_path", "fifo"), ("hmm_path", "fifo"), ("user_dict_path", "fifo"), ("idf_path", "fifo"),
    ("stop_word_path", "fifo"), ("dict_path", "/dev/stdin"), ("hmm_path", "/dev/zero"),
    ("dict_path", "nul"), ("user_dict_path", "nul"),
])
def test_data_files_that_are_not_regular_files_are_refused(tmp_path, field, source):
    fifo = str(tmp_path / "pipe") if source == "fifo" else ""
    path = {"fifo": fifo, "nul": str(DICT_DIR / "user.dict.utf8") + "\0.txt"}.get(source, source)
    code = CONSTRUCT.format(paths={**PATHS, field: path}, fifo=fifo)
    # Standard input is a pipe that feeds a valid dictionary, as a user might try.
    result = subprocess.run([sys.executable, "-c", code], input=(DICT_DIR / "jieba.dict.utf8").read_bytes(),
                            capture_output=True, timeout=60, env={**os.environ, "PYTHONPATH": str(BUILD_DIR)})
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    out = result.stdout.decode()
    if source == "nul":
        assert out == "ValueError embedded null byte\n"
    else:
        assert out == f"ValueError {field_role(field)} '{path}': not a regular file\n", out


def field_role(field):
    return {"dict_path": "main dictionary", "hmm_path": "HMM model", "user_dict_path": "user dictionary",
            "idf_path": "IDF table", "stop_word_path": "stop word list"}[field]
