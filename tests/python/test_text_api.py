"""The text API (`quillfen.Model`) and the `quillfen` command, on a tiny random model with a byte-level
vocabulary: generation agrees with the raw session loop, caches are reused without changing results,
seeds repeat, stop strings and streams cut text exactly, threads neither race nor block each other."""

import json
import re
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from quillfen import Model, _core
from quillfen._chat import ChatTemplateError
from llama_reference import run
from model_files import write_tiny_model

GREEDY = {"temperature": 0.0}
SAMPLED = {"temperature": 1.5, "top_k": 0, "top_p": 1.0, "min_p": 0.0}


@pytest.fixture
def model(tiny_path):
    return Model(tiny_path, progress=False)


def test_greedy_generation_is_the_session_loop(model, tiny_path):
    ids = model.tokenize("the cat sat in the hat")
    result = model.generate(ids, max_tokens=20, stop=[], **GREEDY)
    expected = run(_core.LlamaSession(tiny_path), ids, 19, (0.0, 0, 1.0))[len(ids) - 1:]  # the raw session loop
    end = next((i for i, t in enumerate(expected) if model.tokenizer.is_end_of_generation(t)), len(expected))
    assert result.tokens == expected[:end]
    assert result.finish_reason == ("stop" if end < 20 else "length")
    assert result.text == model.detokenize(result.tokens, special=False)


def test_prefix_reuse_runs_only_new_tokens_and_changes_nothing(tiny_path):
    shared, fresh = Model(tiny_path, progress=False), Model(tiny_path, progress=False)
    first = shared.generate("the hat", max_tokens=8, **GREEDY)
    follow_up = shared.tokenize("the hat") + first.tokens + shared.tokenize(" in the")
    second = shared.generate(follow_up, max_tokens=8, **GREEDY)
    # Everything of the first call but its last generated token, which was never run.
    assert second.reused_tokens == len(shared.tokenize("the hat")) + len(first.tokens) - 1
    assert second.tokens == fresh.generate(follow_up, max_tokens=8, **GREEDY).tokens
    # A prompt the cache holds whole runs its last token again to get its logits.
    assert shared.generate(follow_up, max_tokens=8, **GREEDY).tokens == second.tokens
    # Interleaved prompts that share nothing rewind the cache each time.
    for prompt in ["a", "the hat", "a", "in"]:
        assert shared.generate(prompt, max_tokens=5, **GREEDY).tokens == fresh.generate(prompt, max_tokens=5,
                                                                                          **GREEDY).tokens


def test_seeds_repeat_runs(model):  # a given seed repeats: test_threads_share_and_own_models_without_races
    drawn = model.generate("in", max_tokens=24, seed=None, **SAMPLED)
    assert model.generate("in", max_tokens=24, seed=drawn.seed, **SAMPLED).tokens == drawn.tokens
    assert len({tuple(model.generate("in", max_tokens=24, seed=s, **SAMPLED).tokens) for s in range(4)}) > 1


def test_end_of_turn_stops_and_is_left_out(model):
    ends = [r for r in (model.generate("a", max_tokens=64, seed=s, **SAMPLED) for s in range(30))
            if r.finish_reason == "stop"]
    assert ends, "no seed reached the end-of-turn token"
    for r in ends:
        assert not any(model.tokenizer.is_end_of_generation(t) for t in r.tokens)
        assert len(r.tokens) < 64


@pytest.mark.parametrize("stop_from", ["middle", "two", "unseen"])
def test_stop_strings_cut_the_text_and_streams_agree(model, stop_from):
    full = model.generate("the", max_tokens=40, seed=3, **SAMPLED).text
    assert len(full) > 12
    stops = {"middle": [full[5:8]], "two": [full[9:11], full[4:7]], "unseen": ["\x00never\x00"]}[stop_from]
    result = model.generate("the", max_tokens=40, seed=3, stop=stops, **SAMPLED)
    cut = min((full.find(s) for s in stops if s in full), default=len(full))
    assert result.text == full[:cut]
    assert result.finish_reason == ("stop" if cut < len(full) else "length")
    stream = model.generate("the", max_tokens=40, seed=3, stop=stops, stream=True, **SAMPLED)
    pieces = list(stream)
    assert "".join(pieces) == result.text
    assert stream.result is not None and stream.result.tokens == result.tokens


def test_streams_never_split_a_character(model):
    # Byte tokens make any byte sequence: pieces must decode exactly as the bytes do as a whole.
    for seed in range(6):
        stream = model.generate("é", max_tokens=40, seed=seed, stream=True, **SAMPLED)
        pieces = list(stream)
        whole = model.tokenizer.decode(stream.result.tokens, False, False).decode("utf-8", errors="replace")
        assert "".join(pieces) == whole


def test_context_length_bounds_generation(model):
    n = model.context_length
    for seed in range(3):
        result = model.generate([65] * (n - 5), max_tokens=100, seed=seed, **SAMPLED)
        assert (result.finish_reason == "length" and len(result.tokens) == 5) or len(result.tokens) < 5
        assert len(model.generate([65] * n, max_tokens=3, seed=seed, **SAMPLED).tokens) <= 1


@pytest.mark.parametrize("template, message", [
    ("{{ ''.__class__.__mro__[1].__subclasses__() }}", None),  # the sandbox refuses attribute escapes
    ("{{ raise_exception('no system messages') }}", "no system messages"),
    ("{% for %}", None),
    (None, "no chat template"),
])
def test_hostile_broken_or_missing_templates_fail_cleanly(tmp_path, template, message):
    path = write_tiny_model(tmp_path / "t.gguf", chat_template=template)
    with pytest.raises(ChatTemplateError, match=message):
        Model(path, progress=False).chat([{"role": "user", "content": "x"}])
    if template is None:
        res = cli("chat", str(path))
        assert res.returncode == 1 and "no chat template" in res.stderr and "Traceback" not in res.stderr


def test_threads_share_and_own_models_without_races(tiny_path):
    prompts = ["the", "a", "in", "hat"]
    alone = {p: Model(tiny_path, progress=False).generate(p, max_tokens=24, seed=11, **SAMPLED).tokens
             for p in prompts}
    shared = Model(tiny_path, progress=False)
    # A model with workers of its own (threads=1) gives the same tokens as those on the shared pool.
    owners = [Model(tiny_path, threads=1, progress=False), Model(tiny_path, progress=False), shared, shared]

    def work(m, p):
        return [m.generate(p, max_tokens=24, seed=11, **SAMPLED).tokens for _ in range(3)]

    with ThreadPoolExecutor(len(prompts)) as pool:  # a worker's exception is raised again by list()
        got = list(pool.map(work, owners, prompts))
    assert got == [[alone[p]] * 3 for p in prompts] and owners[0].threads == 1


def test_generation_lets_other_threads_run(tmp_path):
    m = Model(write_tiny_model(tmp_path / "wide.gguf", hidden=256, layers=4, context_length=512), progress=False)
    ticks, done = [0], threading.Event()

    def count():
        while not done.is_set():
            ticks[0] += 1
            time.sleep(0)

    t = threading.Thread(target=count)
    t.start()
    try:
        before = ticks[0]
        m._native.prefill([i % 256 for i in range(500)])  # one long native call: only a released lock lets the counter move
        assert ticks[0] > before + 10
    finally:
        done.set()
        t.join()


def cli(*args, input=""):
    """The command's status and output, undecoded newlines and all (generated text may hold a "\r")."""
    res = subprocess.run([sys.executable, "-m", "quillfen", *args], capture_output=True, input=input.encode(),
                         timeout=120, cwd="/")
    return subprocess.CompletedProcess(res.args, res.returncode, res.stdout.decode(), res.stderr.decode())


def test_command_line_runs_chats_and_describes(tiny_path):
    run = cli("run", tiny_path, "-p", "the", "-n", "8", "--temperature", "0")
    assert run.returncode == 0 and "tokens/s" in run.stderr
    expected = Model(tiny_path, progress=False).generate("the", max_tokens=8, **GREEDY).text
    assert run.stdout == expected + "\n"
    chat = cli("chat", tiny_path, "-n", "4", "--seed", "1", input="hello\nagain\n")
    assert chat.returncode == 0 and chat.stderr.count("finish:") == 2
    info = cli("info", tiny_path)
    assert info.returncode == 0
    assert "format: GGUF" in info.stdout and "tokenizer: gpt2" in info.stdout and "F32" in info.stdout


@pytest.mark.parametrize("system_words", [0, 3000], ids=["answer", "long_system_prompt"])
def test_ctrl_c_stops_an_answer_and_the_chat_goes_on(tmp_path, system_words):
    """During the answer, or while a system prompt of thousands of tokens is still being read: then no
    answer is printed, and the next turn finds in the cache only the part of the prompt that ran."""
    # Sixteen layers: the system prompt takes over a second even where four took 0.35 s, short of the
    # interrupt's 0.3 s plus its delivery.
    path = write_tiny_model(tmp_path / "endless.gguf", context_length=1 << 20, endless=True, hidden=128, layers=16)
    system = ["--system", " ".join(["the cat sat in the hat"] * (system_words // 6)), "-n", "2"] if system_words else []
    proc = subprocess.Popen([sys.executable, "-m", "quillfen", "chat", str(path), "-n", "1000000", *system],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd="/")
    try:
        assert proc.stdout.read(2) == b"> "
        proc.stdin.write(b"hello\n")
        proc.stdin.flush()
        if system_words:
            time.sleep(0.3)  # into the prompt
        else:
            assert proc.stdout.read(1)  # the answer has started
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(b"again\n/exit\n" if system_words else b"/exit\n", timeout=120)
    finally:
        proc.kill()
    assert proc.returncode == 0 and b"[stopped]" in err and b"Traceback" not in err
    if system_words:
        assert out.startswith(b"\n> ")
        prompt, reused = map(int, re.search(rb"prompt (\d+) tokens \((\d+) reused\)", err).groups())
        assert reused % 64 == 0 and reused < prompt // 2


# Interrupts a long prefill from a timer thread, then finishes the prompt: how many tokens the cache
# had kept, and whether the logits after the prompt are those of a model that was never interrupted.
INTERRUPTED_PREFILL = """
import json, os, signal, sys, threading
from quillfen import _runtime
path, length = sys.argv[1], int(sys.argv[2])
prompt = [i * 7 % 200 for i in range(length)]
m = _runtime.TextModel(path)
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    m.prefill(prompt)
    interrupted = False
except KeyboardInterrupt:
    interrupted = True
_, kept, evaluated = m.next_token(prompt)
same = m.logits(prompt) == _runtime.TextModel(path).logits(prompt)
print(json.dumps({"interrupted": interrupted, "kept": kept, "evaluated": evaluated, "same": same}))
"""


def test_ctrl_c_lands_while_a_prompt_is_read_and_the_model_goes_on(tmp_path):
    # Wide and deep enough that reading the prompt takes well over the 0.3 s before the interrupt (about
    # 2 s at AVX2 on a 2-core Zen 3), so that a faster machine or kernel still lands it mid-prompt.
    length = 3000
    path = write_tiny_model(tmp_path / "long.gguf", context_length=length, hidden=256, layers=12)
    res = subprocess.run([sys.executable, "-c", INTERRUPTED_PREFILL, str(path), str(length)], capture_output=True,
                         text=True, timeout=300, cwd="/")
    assert res.returncode == 0, res.stderr
    got = json.loads(res.stdout)
    # Before the whole prompt ran, the cache holding whole batches of it; then the same answer as ever.
    assert got["interrupted"] and got["kept"] < length and got["kept"] % 64 == 0
    assert got["kept"] + got["evaluated"] == length and got["same"]


def test_stubs_match_the_modules():
    allowlist = __file__.replace("test_text_api.py", "stubtest_allowlist.txt")
    res = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quillfen", "--allowlist", allowlist],
                         capture_output=True, text=True, cwd="/")
    assert res.returncode == 0, res.stdout + res.stderr
