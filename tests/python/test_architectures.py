"""Every architecture the text model runs, against transformers: tiny random models of each (written as
the format's converter writes them, in F32 and two quantised types) and the real Gemma 3 270M; the same
logits at every kernel level; and the files it does not run exactly, refused by name everywhere."""

import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import warnings

import numpy as np
import pytest

torch = pytest.importorskip("torch")
transformers = pytest.importorskip("transformers")

import arch_models as am  # noqa: E402
from gguf import GGMLQuantizationType as Q  # noqa: E402
from model_files import random_tensors, write_gguf  # noqa: E402
from quillfen import Model, _runtime  # noqa: E402
from quillfen._core import LlamaSession  # noqa: E402
from test_user_inputs import cli, one_line  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).parents[2] / "bench"))
from gemma3 import gemma3_path  # noqa: E402

PROMPT = [3, 17, 42, 5]
STEPS = 28  # past Gemma's window of 8 and Llama 3's original context of 8


@pytest.fixture(scope="session")
def tiny_files(tmp_path_factory):
    """(name, qtype) -> (path, the transformers reference's greedy tokens and logits, the reference)."""
    folder, files = tmp_path_factory.mktemp("arch"), {}
    for name in am.ARCHITECTURES:
        for qtype in (Q.F32, Q.Q8_0, Q.Q4_0):
            model = am.random_model(name)
            path = am.write(model, name, folder / f"{name}-{qtype.name}.gguf", qtype)
            files[name, qtype] = (str(path), *am.greedy(model, PROMPT, STEPS), model)
    return files


@pytest.mark.parametrize("qtype", [Q.F32, Q.Q8_0, Q.Q4_0], ids=lambda q: q.name)
@pytest.mark.parametrize("name", list(am.ARCHITECTURES))
def test_tiny_models_decode_as_transformers(tiny_files, name, qtype, record_property):
    """Step by step on the reference's own tokens, the argmax is the reference's greedy token and every
    logit is within float32 rounding of its value."""
    path, want, rows, _ = tiny_files[name, qtype]
    model = _runtime.TextModel(path)
    ids, got, diff = list(PROMPT), [], 0.0
    for token, row in zip(want, rows):
        logits = np.frombuffer(model.logits(ids), np.float32)[:am.VOCAB]
        got.append(int(np.argmax(logits)))
        diff = max(diff, float(np.abs(logits - row).max()))
        ids.append(token)
    record_property("max_logit_difference", diff)
    print(f"{name} {qtype.name}: largest logit difference {diff:.3g}")
    assert got == want and len(set(want)) > 2
    assert diff < 1e-3


def test_windowed_layers_over_a_context_longer_than_a_key_run(tiny_files):
    """600 positions: a prompt in batches, then one step whose keys are spread over the workers in runs;
    Gemma's windowed layers read only their last 8 of them."""
    path, _, _, reference = tiny_files["gemma3", Q.F32]
    ids = [int(i) for i in np.random.default_rng(1).integers(0, am.VOCAB, 600)]
    with torch.no_grad():
        want = reference(torch.tensor([ids])).logits[0, -2:].numpy()
    model = _runtime.TextModel(path)
    for got, row in zip((model.logits(ids[:-1]), model.logits(ids)), want):
        got = np.frombuffer(got, np.float32)[:am.VOCAB]
        assert np.argmax(got) == np.argmax(row) and np.abs(got - row).max() < 1e-3


@pytest.mark.parametrize("name", list(am.ARCHITECTURES))
def test_sequences_stepped_together_get_their_logits_alone(tiny_files, name):
    """Five numbered sequences stepped in a random interleaving over one set of weights (prompts in
    chunks without logits beside one-token steps, caches released, rebuilt or taken over from another
    sequence's prefix, Gemma's windows passed): each sequence's logits are bit for bit those its context
    gets alone."""
    path = tiny_files[name, Q.Q8_0][0]
    rng = np.random.default_rng(7)
    shared, alone = _runtime.TextModel(path), _runtime.TextModel(path)
    contexts: list[list[int]] = [[] for _ in range(5)]
    for _ in range(12):
        work = []
        for k in map(int, rng.choice(5, size=int(rng.integers(1, 6)), replace=False)):
            if contexts[k] and rng.random() < 0.15:
                shared.release(k)
            donor = int(rng.integers(5))
            borrow = donor != k and len(contexts[donor]) > 1 and rng.random() < 0.3
            if borrow:  # a new conversation that starts as another one did
                contexts[k] = contexts[donor][:int(rng.integers(1, len(contexts[donor])))]
            contexts[k] += [int(t) for t in rng.integers(0, am.VOCAB, int(rng.choice([1, 1, 3, 20])))]
            copied = shared.share(donor, k, contexts[k]) if borrow else 0
            assert copied < len(contexts[k])
            work.append((k, list(contexts[k]), bool(rng.random() < 0.8), copied))
        for (k, context, wanted, copied), (logits, reused, evaluated) in zip(
                work, shared.step([w[:3] for w in work])):
            assert reused + evaluated == len(context) and reused >= copied
            assert logits == (alone.logits(context) if wanted else b"")


def test_same_logits_at_every_kernel_level_and_on_emulated_cpus(tiny_files):
    """One digest of every architecture's logits, whichever kernels run them."""
    paths = [tiny_files[name, Q.F32][0] for name in am.ARCHITECTURES]
    script = ("import hashlib, sys; from quillfen import _runtime\n"
              f"h = hashlib.sha256()\nfor p in {paths!r}:\n"
              f"    h.update(_runtime.TextModel(p).logits({PROMPT * 5!r}))\nprint(h.hexdigest())")
    # The emulated CPUs run their own widest level: a level forced on the suite would be refused there.
    inherited = {k: v for k, v in os.environ.items() if k != "QUILLFEN_ISA"}
    runs = [({"QUILLFEN_ISA": isa}, []) for isa in _runtime.cpu_isas()]
    if shutil.which("qemu-x86_64"):
        runs += [({}, ["qemu-x86_64", "-cpu", "Haswell-v4,-pcid,-x2apic,-tsc-deadline,-invpcid"]),
                 ({}, ["qemu-x86_64", "-cpu", "Nehalem"])]
    digests = {subprocess.run([*prefix, sys.executable, "-c", script], env={**inherited, **env}, cwd="/",
                              capture_output=True, text=True, check=True, timeout=600).stdout for env, prefix in runs}
    assert len(digests) == 1, digests


def phi3_tensors(rng, extra=()):
    """A one-layer Phi-3 file's tensors: fused q/k/v and gate/up."""
    mat = lambda rows, cols: rng.standard_normal((rows, cols)).astype(np.float32)  # noqa: E731
    t = {"token_embd.weight": mat(48, 32), "output_norm.weight": np.ones(32, np.float32), "output.weight": mat(48, 32),
         "blk.0.attn_norm.weight": np.ones(32, np.float32), "blk.0.attn_qkv.weight": mat(96, 32),
         "blk.0.attn_output.weight": mat(32, 32), "blk.0.ffn_norm.weight": np.ones(32, np.float32),
         "blk.0.ffn_up.weight": mat(128, 32), "blk.0.ffn_down.weight": mat(32, 64)}
    return t | {name: np.ones(8, np.float32) for name in extra}


VOCAB_KEYS = {"tokenizer_model": "llama", "token_list": [f"t{i}" for i in range(48)],
              "token_scores": [0.0] * 48, "token_types": [1] * 48, "head_count": 4, "block_count": 1}
RUNS = "llama, qwen2, qwen3, gemma3, phi3"


@pytest.mark.parametrize("arch, tensors, message", [
    ("mamba", lambda rng: random_tensors(rng, layers=1),
     f"architecture 'mamba' is not one quillfen runs (it runs {RUNS})"),
    ("llama", lambda rng: random_tensors(rng, layers=1) | {"blk.0.attn_q.bias": np.ones(32, np.float32)},
     "tensor 'blk.0.attn_q.bias' is not part of the llama architecture; quillfen would ignore it, so it "
     "refuses the file"),
    ("phi3", lambda rng: phi3_tensors(rng, extra=("rope_factors_long.weight", "rope_factors_short.weight")),
     "the long-context rope factors ('rope_factors_long.weight') of this phi3 file are not run"),
], ids=["unknown_architecture", "extra_bias", "phi3_long_rope"])
def test_files_it_does_not_run_exactly_are_refused_by_name(tmp_path, arch, tensors, message):
    path = str(tmp_path / "m.gguf")
    write_gguf(path, tensors(np.random.default_rng(0)), keys=VOCAB_KEYS, arch=arch)
    with pytest.raises(RuntimeError, match=f"^Failed to load model: {re.escape(message)}$"):
        _runtime.TextModel(path)
    with pytest.raises(RuntimeError, match=f"^Failed to load model {re.escape(repr(path))}: {re.escape(message)}$"):
        Model(path, progress=False)
    for command in (("run", path, "-p", "x"), ("chat", path)):
        status, _, err = cli(*command)
        assert status == 1 and one_line(err) and message in err
    status, out, _ = cli("info", path)
    runs = "this build runs it" if arch != "mamba" else f"this build does not run it (it runs {RUNS})"
    assert status == 0 and f"architecture: {arch}: {runs}" in out.splitlines()


def test_llama_session_warns_on_another_architecture(tiny_files, tmp_path):
    with pytest.warns(RuntimeWarning, match="general.architecture is 'qwen2', which LlamaSession runs as 'llama'"):
        LlamaSession(tiny_files["qwen2", Q.F32][0])
    llama = tmp_path / "llama.gguf"
    write_gguf(llama, random_tensors(np.random.default_rng(0), layers=1))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        LlamaSession(str(llama))


# ---- Gemma 3 270M, the real file ---------------------------------------------------------------------

GEMMA_PROMPTS = ["The capital of France is", "def fibonacci(n):", "Once upon a time, in a small village,",
                 "Die Hauptstadt von Deutschland ist", "1, 2, 3, 4, 5,", "東京は日本の",
                 "<start_of_turn>user\nWhat is a prime number?<end_of_turn>\n<start_of_turn>model\n",
                 "Water boils at a temperature of"]
GEMMA_STEPS = 64


@pytest.fixture(scope="module")
def gemma_reference():
    path = gemma3_path()  # downloads the model on first use
    with torch.no_grad():
        model = transformers.AutoModelForCausalLM.from_pretrained(path.parent, gguf_file=path.name,
                                                                  dtype=torch.float32).eval()
    tokenizer = transformers.AutoTokenizer.from_pretrained(path.parent, gguf_file=path.name)
    return str(path), model, tokenizer


def test_gemma3_tokenizer_is_id_for_id_the_reference(gemma_reference):
    """Except on runs of 32 or more spaces, which transformers' GGUF conversion splits into runs of 16 where
    the file's own merge scores (and llama.cpp, asked by hand) take the 31-space token first."""
    path, _, hf = gemma_reference
    rows = json.loads((pathlib.Path(__file__).parent / "data" / "smollm2_tokens.json").read_text(encoding="utf-8"))
    rows = [r for r in rows if " " * 32 not in r["text"]]
    ours = _runtime.Tokenizer(path)
    wrong = [(r["text"], ids) for r in rows
             if (ids := ours.encode(r["text"], add_special=True)) != hf(r["text"])["input_ids"]]
    assert not wrong, f"{len(wrong)} of {len(rows)} differ, first: {wrong[0]}"


def test_gemma3_greedy_tokens_equal_the_reference(gemma_reference):
    """64 greedy tokens after each prompt; a first difference is allowed only where the reference's top
    two logits are within 1e-3 of each other (a tie float32 rounding may break either way)."""
    path, hf, _ = gemma_reference
    model = Model(path, progress=False)
    for prompt in GEMMA_PROMPTS:
        ids = model.tokenize(prompt, parse_special=True)
        ours = model.generate(ids, max_tokens=GEMMA_STEPS, temperature=0.0).tokens
        with torch.no_grad():
            out = hf.generate(torch.tensor([ids]), do_sample=False, max_new_tokens=GEMMA_STEPS, output_logits=True,
                              return_dict_in_generate=True)
        theirs = out.sequences[0, len(ids):].tolist()
        first = next((i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b), None)
        if first is not None:
            top2 = torch.topk(out.logits[first][0], 2).values
            assert float(top2[0] - top2[1]) < 1e-3, (prompt, first, ours, theirs)
        assert first is not None or ours == theirs[:len(ours)], (prompt, ours, theirs)
