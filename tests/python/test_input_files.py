"""Paths that are not regular files, at every Python entry point. A FIFO blocks a reader that waits for
a writer, and /dev/zero never ends; so every call runs in a child process with a time limit, and a
regression fails the test (as a timeout or a crash) instead of hanging or killing the test run."""

import json
import os
import pathlib
import struct
import subprocess
import sys

import pytest

CHILD = r"""
import json, sys
from quillfen import FormatDetector, InferenceEngine, LlamaSession
calls = {"detect": FormatDetector.detect, "load_metadata": lambda p: FormatDetector.load_metadata(p).architecture,
         "load_model": lambda p: InferenceEngine().load_model(p), "LlamaSession": LlamaSession}
for name, path in json.loads(sys.argv[1]):
    try:
        out = calls[name](path)
        print(json.dumps([name, "ok", out if isinstance(out, str) else None]), flush=True)
    except Exception as e:
        print(json.dumps([name, type(e).__name__, str(e)]), flush=True)
"""

ENTRY_POINTS = ["detect", "load_metadata", "load_model", "LlamaSession"]


def outcomes(calls: list[tuple[str, str]]) -> list[list]:
    done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(calls)], capture_output=True, text=True,
                          timeout=60, cwd="/")
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


def safetensors_file(path: pathlib.Path) -> None:
    header = json.dumps({"layers.0.w": {"dtype": "F32", "shape": [1, 4], "data_offsets": [0, 16]}}).encode()
    path.write_bytes(struct.pack("<Q", len(header)) + header + bytes(16))


@pytest.mark.parametrize("make, message", [
    (lambda p: os.mkfifo(p), "Not a regular file (a FIFO): {path}"),
    (lambda p: p.symlink_to("/dev/zero"), "Not a regular file (a character device): {path}"),
    (lambda p: p.mkdir(), "Is a directory (os error 21)"),
], ids=["fifo", "dev_zero", "directory"])
def test_a_model_path_that_is_not_a_regular_file_fails_at_once(tmp_path, make, message):
    model = tmp_path / "model.gguf"
    make(model)
    expected = message.format(path=model)
    assert outcomes([(name, str(model)) for name in ENTRY_POINTS]) == [
        [name, "RuntimeError", ("Failed to load model: " if name == "LlamaSession" else "") + expected]
        for name in ENTRY_POINTS]


@pytest.mark.parametrize("make, message", [
    (lambda p: os.mkfifo(p), "Not a regular file (a FIFO): {path}"),
    (lambda p: p.symlink_to("/dev/zero"), "Not a regular file (a character device): {path}"),
    (lambda p: (p.write_text('{"quant_method": "awq"}'), os.truncate(p, (16 << 20) + 1)),
     "File larger than 16777216 bytes: {path}"),
], ids=["fifo", "dev_zero", "over_16_mib"])
def test_a_config_json_that_cannot_be_read_fails_detection_and_is_ignored_beside_safetensors(tmp_path, make, message):
    make(tmp_path / "config.json")
    (tmp_path / "model.bin").write_bytes(bytes(16))  # only config.json could name its format
    safetensors_file(tmp_path / "model.safetensors")
    unknown, st = str(tmp_path / "model.bin"), str(tmp_path / "model.safetensors")
    error = ["RuntimeError", message.format(path=tmp_path / "config.json")]
    assert outcomes([("detect", unknown), ("load_metadata", unknown), ("load_model", unknown),
                     ("detect", st), ("load_metadata", st), ("load_model", st)]) == [
        ["detect", *error], ["load_metadata", *error], ["load_model", *error],
        ["detect", "ok", "safetensors"], ["load_metadata", "ok", "unknown"], ["load_model", "ok", None]]
