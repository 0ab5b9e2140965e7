"""Text in, text out: a GGUF model with its own tokenizer and chat template.

    from quillfen import Model
    model = Model("SmolLM2-135M-Instruct.Q4_1.gguf")
    print(model.generate("The capital of France is", max_tokens=16, temperature=0).text)
    for piece in model.chat([{"role": "user", "content": "Hi!"}], stream=True):
        print(piece, end="", flush=True)

Every native step runs without the interpreter lock. Calls on one model from several threads take
turns on the model's own lock; each call names its whole context, and the model runs only the
tokens after the longest prefix its cache already holds, so a chat's next turn pays for its new
tokens only.
"""

from __future__ import annotations

import codecs
import numbers
import operator
import os
import secrets
import sys
import threading
import time
from collections.abc import Generator, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, overload

from quillfen import _core, _runtime
from quillfen._chat import ChatTemplateError, chat_parts, render_chat


# Formats that detection names but whose metadata no reader takes yet.
UNREAD_FORMATS = {"pytorch_bin": "PyTorch .bin", "ONNX": "ONNX"}

_MASK64 = (1 << 64) - 1
_LCG_MULTIPLIER = 6364136223846793005


@dataclass(frozen=True)
class Completion:
    """The result of `Model.generate` and `Model.chat`."""

    text: str
    tokens: list[int]  # generated ids: the end-of-turn token excluded, those of a stop string kept
    # "stop": end of turn/text or a stop string; "length": max_tokens or context; "cancelled": the
    # reader of a stream stopped early (the text is what it was handed)
    finish_reason: Literal["stop", "length", "cancelled"]
    seed: int  # pass it back as seed= to repeat the run
    prompt_tokens: int
    reused_tokens: int  # prompt tokens whose cache entries an earlier call left
    prompt_seconds: float
    generate_seconds: float

    @property
    def tokens_per_second(self) -> float:
        """Generated tokens per second, the prompt's time excluded."""
        return len(self.tokens) / self.generate_seconds if self.generate_seconds > 0 else 0.0


class _Cancelled(Exception):
    """Thrown into a generation whose reader stopped: it ends where it stands and returns its completion."""


class Stream:
    """Iterates over the text of a generation as it is produced, never splitting a UTF-8 character.
    `result` is None until the iteration starts and the whole `Completion` once it has ended; read
    after breaking out of the loop, it ends the generation there and gives the completion so far
    (finish_reason "cancelled")."""

    def __init__(self, pieces: Generator[str, None, Completion]) -> None:
        self._pieces = pieces
        self._started = False
        self._result: Completion | None = None

    def __iter__(self) -> Stream:
        return self

    def __next__(self) -> str:
        if self._result is not None:
            raise StopIteration
        self._started = True
        try:
            return next(self._pieces)
        except StopIteration as end:
            self._result = end.value
            raise StopIteration from None

    @property
    def result(self) -> Completion | None:
        if self._result is None and self._started:
            try:
                self._pieces.throw(_Cancelled())
            except StopIteration as end:
                self._result = end.value
            except _Cancelled:  # the generation had already ended with an exception
                pass
        return self._result


@dataclass(frozen=True)
class _Sampling:
    temperature: float
    top_k: int
    top_p: float
    min_p: float


def _whole(name: str, value: Any) -> int:
    """`value` as an int, refusing floats and strings rather than rounding or parsing them."""
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a whole number, not {type(value).__name__}") from None


def _real(name: str, value: Any) -> float:
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def _token_ids(name: str, ids: Any, vocab: int) -> list[int]:
    """A sequence of token ids as a list of ints. Only numbers no id can be (negative, or past 32 bits)
    are refused here; the native side checks the vocabulary."""
    if isinstance(ids, (str, bytes, Mapping)) or not isinstance(ids, Iterable):
        raise TypeError(f"{name} must be a sequence of token ids, not {type(ids).__name__}")
    out = [_whole(f"{name}[{i}]", v) for i, v in enumerate(ids)]
    bad = next((v for v in out if not 0 <= v < 1 << 32), None)
    if bad is not None:
        raise ValueError(f"{name}: token id {bad} is outside the vocabulary of {vocab} tokens")
    return out


def _check_sampling(temperature: Any, top_k: Any, top_p: Any, min_p: Any, max_tokens: Any) -> _Sampling:
    temperature, top_p, min_p = _real("temperature", temperature), _real("top_p", top_p), _real("min_p", min_p)
    top_k, max_tokens = _whole("top_k", top_k), _whole("max_tokens", max_tokens)
    if not temperature >= 0:
        raise ValueError(f"temperature must be >= 0, not {temperature}")
    if top_k < 0:
        raise ValueError(f"top_k must be >= 0, not {top_k}")
    if not 0 < top_p <= 1:
        raise ValueError(f"top_p must be in (0, 1], not {top_p}")
    if not 0 <= min_p <= 1:
        raise ValueError(f"min_p must be in [0, 1], not {min_p}")
    if max_tokens < 0:
        raise ValueError(f"max_tokens must be >= 0, not {max_tokens}")
    if temperature == 0:
        # Greedy takes the most probable token, which every filter keeps: skip their ranking work.
        return _Sampling(0.0, 0, 1.0, 0.0)
    return _Sampling(temperature, top_k, top_p, min_p)


def _stop_strings(stop: Any) -> list[str]:
    stops = [stop] if isinstance(stop, str) else stop
    if not isinstance(stops, Sequence) or not all(isinstance(s, str) for s in stops):
        raise TypeError(f"stop must be a str or a sequence of str, not {type(stop).__name__}")
    if any(not s for s in stops):
        raise ValueError("a stop string must not be empty")
    return list(stops)


def _held_back(text: str, stops: Sequence[str]) -> int:
    """How many characters at the end of `text` could still grow into a stop string."""
    longest = 0
    for stop in stops:
        for n in range(min(len(stop) - 1, len(text)), longest, -1):
            if text.endswith(stop[:n]):
                longest = n
                break
    return longest


class Model:
    """A GGUF model of an architecture quillfen runs (`_runtime.architectures()`: Llama, Qwen2, Qwen3, Gemma 3,
    Phi-3): tokenizer, chat template and generation, all from the file. Any other file is refused by name."""

    def __init__(self, path: str | os.PathLike[str], *, threads: int | None = None,
                 progress: bool | None = None) -> None:
        """`threads`: workers of the model's own (None: the process-wide pool, QUILLFEN_NUM_THREADS or
        the cores the process may use). `progress`: draw the load on stderr (None: when it is a terminal)."""
        self.path = os.fspath(path)
        if threads is not None:
            threads = _whole("threads", threads)
            # A count no unsigned number holds goes as 0, which the native side refuses with the range.
            threads = threads if 0 <= threads < 1 << 64 else 0
        show = sys.stderr.isatty() if progress is None else progress
        try:
            self._native = _load_with_progress(self.path, show, threads)
        except RuntimeError as e:
            raise RuntimeError(f"Failed to load model {file_error(self.path, e)}") from None
        self.tokenizer: _runtime.Tokenizer = self._native.tokenizer
        self.context_length: int = self._native.context_length
        self.chat_template: str | None = self._native.chat_template
        self.threads: int = self._native.threads

    def __repr__(self) -> str:
        return f"Model({self.path!r})"

    # ---- tokens ------------------------------------------------------------------------------

    def tokenize(self, text: str, add_special: bool = True, parse_special: bool = False) -> list[int]:
        """Token ids of `text`; add_special adds the BOS/EOS the file asks for, parse_special reads
        control-token text such as "<|im_start|>" as those tokens."""
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        return self.tokenizer.encode(text, add_special, parse_special)

    def detokenize(self, ids: Sequence[int], special: bool = True) -> str:
        """The text of `ids` (control tokens included when `special`); undecodable bytes become U+FFFD."""
        strip = self.tokenizer.add_space_prefix
        ids = _token_ids("ids", ids, self.tokenizer.vocab_size)
        return self.tokenizer.decode(ids, special, strip).decode("utf-8", errors="replace")

    def reset(self) -> None:
        """Empties the model's cache (the next call runs its whole prompt)."""
        self._native.reset()

    # ---- generation --------------------------------------------------------------------------

    @overload
    def generate(self, prompt: str | Sequence[int], *, max_tokens: int = ..., temperature: float = ...,
                 top_k: int = ..., top_p: float = ..., min_p: float = ..., seed: int | None = ...,
                 stop: str | Sequence[str] = ..., stream: Literal[False] = ..., add_special: bool = ...,
                 parse_special: bool = ...) -> Completion: ...

    @overload
    def generate(self, prompt: str | Sequence[int], *, max_tokens: int = ..., temperature: float = ...,
                 top_k: int = ..., top_p: float = ..., min_p: float = ..., seed: int | None = ...,
                 stop: str | Sequence[str] = ..., stream: Literal[True], add_special: bool = ...,
                 parse_special: bool = ...) -> Stream: ...

    @overload
    def generate(self, prompt: str | Sequence[int], *, max_tokens: int = ..., temperature: float = ...,
                 top_k: int = ..., top_p: float = ..., min_p: float = ..., seed: int | None = ...,
                 stop: str | Sequence[str] = ..., stream: bool, add_special: bool = ...,
                 parse_special: bool = ...) -> Completion | Stream: ...

    def generate(self, prompt: str | Sequence[int], *, max_tokens: int = 256, temperature: float = 0.8,
                 top_k: int = 40, top_p: float = 0.95, min_p: float = 0.05, seed: int | None = None,
                 stop: str | Sequence[str] = (), stream: bool = False, add_special: bool = True,
                 parse_special: bool = False) -> Completion | Stream:
        """Continues `prompt` (text, or token ids taken as they are). temperature 0 is greedy (and so is
        the limit of one too small to divide the logits by; an infinite one draws uniformly among the
        tokens the filters keep); the same seed gives the same text, and seed=None draws one that the
        result reports. Ends at the end-of-turn token ("stop"), at a stop string ("stop", the string
        left out), or after max_tokens or at the context length ("length")."""
        if isinstance(prompt, str):
            ids = self.tokenize(prompt, add_special, parse_special)
        elif isinstance(prompt, Iterable) and not isinstance(prompt, (bytes, Mapping)):
            ids = _token_ids("prompt", prompt, self.tokenizer.vocab_size)
        else:
            raise TypeError(f"prompt must be a str or a sequence of token ids, not {type(prompt).__name__}")
        return self._run(ids, max_tokens=max_tokens, temperature=temperature, top_k=top_k, top_p=top_p,
                         min_p=min_p, seed=seed, stop=stop, stream=stream)

    @overload
    def chat(self, messages: Sequence[Mapping[str, Any]], *, max_tokens: int = ..., temperature: float = ...,
             top_k: int = ..., top_p: float = ..., min_p: float = ..., seed: int | None = ...,
             stop: str | Sequence[str] = ..., stream: Literal[False] = ...,
             parse_special_in_content: bool = ...) -> Completion: ...

    @overload
    def chat(self, messages: Sequence[Mapping[str, Any]], *, max_tokens: int = ..., temperature: float = ...,
             top_k: int = ..., top_p: float = ..., min_p: float = ..., seed: int | None = ...,
             stop: str | Sequence[str] = ..., stream: Literal[True],
             parse_special_in_content: bool = ...) -> Stream: ...

    @overload
    def chat(self, messages: Sequence[Mapping[str, Any]], *, max_tokens: int = ..., temperature: float = ...,
             top_k: int = ..., top_p: float = ..., min_p: float = ..., seed: int | None = ...,
             stop: str | Sequence[str] = ..., stream: bool,
             parse_special_in_content: bool = ...) -> Completion | Stream: ...

    def chat(self, messages: Sequence[Mapping[str, Any]], *, max_tokens: int = 256, temperature: float = 0.8,
             top_k: int = 40, top_p: float = 0.95, min_p: float = 0.05, seed: int | None = None,
             stop: str | Sequence[str] = (), stream: bool = False,
             parse_special_in_content: bool = False) -> Completion | Stream:
        """The assistant's reply to `messages` ([{"role": ..., "content": ...}, ...]) through the
        model's chat template; otherwise as `generate`. Only the template's own markup becomes
        control tokens: "<|im_end|>" written inside a message is plain text, so a message cannot
        forge a turn. parse_special_in_content=True reads control-token text in messages too, as
        transformers does."""
        ids = self.chat_tokens(messages, parse_special_in_content=parse_special_in_content)
        return self._run(ids, max_tokens=max_tokens, temperature=temperature, top_k=top_k, top_p=top_p,
                         min_p=min_p, seed=seed, stop=stop, stream=stream)

    def apply_chat_template(self, messages: Sequence[Mapping[str, Any]], add_generation_prompt: bool = True) -> str:
        """The prompt text the model's chat template makes of `messages`."""
        return render_chat(self._template(), messages, add_generation_prompt=add_generation_prompt,
                           **self._template_tokens())

    def chat_tokens(self, messages: Sequence[Mapping[str, Any]], add_generation_prompt: bool = True, *,
                    parse_special_in_content: bool = False) -> list[int]:
        """The token ids `chat` feeds the model for `messages`: control tokens where the template's
        own markup spells them, each message's content as plain text (unless parse_special_in_content)."""
        if parse_special_in_content:
            return self.tokenize(self.apply_chat_template(messages, add_generation_prompt), add_special=False,
                                 parse_special=True)
        parts = chat_parts(self._template(), messages, add_generation_prompt=add_generation_prompt,
                           **self._template_tokens())
        return self.tokenizer.encode_parts(parts, add_special=False)

    def _template(self) -> str:
        if self.chat_template is None:
            raise ChatTemplateError(f"{self.path} has no chat template (tokenizer.chat_template); use generate()")
        return self.chat_template

    def _template_tokens(self) -> dict[str, str]:
        tok = self.tokenizer
        return {name: "" if token_id is None else tok.token_text(token_id)
                for name, token_id in (("bos_token", tok.bos_id), ("eos_token", tok.eos_id))}

    # ---- the loop ----------------------------------------------------------------------------

    def _run(self, ids: list[int], *, max_tokens: int, temperature: float, top_k: int, top_p: float,
             min_p: float, seed: int | None, stop: str | Sequence[str], stream: bool) -> Completion | Stream:
        sampling = _check_sampling(temperature, top_k, top_p, min_p, max_tokens)
        stops = _stop_strings(stop)
        self._native.check_context(ids)
        seed = secrets.randbits(63) if seed is None else _whole("seed", seed) & _MASK64
        pieces = self._pieces(ids, int(max_tokens), sampling, seed, stops)
        if stream:
            return Stream(pieces)
        while True:
            try:
                next(pieces)
            except StopIteration as end:
                completion: Completion = end.value
                return completion

    def _pieces(self, prompt: list[int], max_tokens: int, sampling: _Sampling, seed: int,
                stops: list[str]) -> Generator[str, None, Completion]:
        tok = self.tokenizer
        context = list(prompt)
        generated: list[int] = []
        decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        text = ""
        emitted = 0  # characters of `text` handed out so far
        finish: Literal["stop", "length", "cancelled"] = "length"
        rng = seed
        reused = 0
        t0 = time.perf_counter()
        prompt_seconds = 0.0
        while len(generated) < max_tokens:
            rng = (rng * _LCG_MULTIPLIER + 1) & _MASK64
            token, step_reused, _ = self._native.next_token(context, sampling.temperature, sampling.top_k,
                                                            sampling.top_p, sampling.min_p, rng)
            if not generated:
                reused = min(step_reused, len(prompt))
                prompt_seconds = time.perf_counter() - t0
            if tok.is_end_of_generation(token):
                finish = "stop"
                text += decoder.decode(b"", final=True)
                break
            generated.append(token)
            context.append(token)
            text += decoder.decode(tok.decode([token], False, False))
            # Text handed out never holds the start of a stop string, so the search starts near `emitted`.
            hits = [i for i in (text.find(s, max(0, emitted - len(s))) for s in stops) if i >= 0]
            if hits:
                text = text[:min(hits)]
                finish = "stop"
                break
            if len(generated) == max_tokens or len(context) >= self.context_length:
                text += decoder.decode(b"", final=True)
                break
            safe = len(text) - _held_back(text, stops)
            if safe > emitted:
                piece, emitted = text[emitted:safe], safe
                try:
                    yield piece
                except _Cancelled:
                    text, finish = text[:emitted], "cancelled"
                    break
        if len(text) > emitted:
            try:
                yield text[emitted:]
            except _Cancelled:
                pass  # the generation had ended: its last piece was handed out
        elapsed = time.perf_counter() - t0
        return Completion(text=text, tokens=generated, finish_reason=finish, seed=seed, prompt_tokens=len(prompt),
                          reused_tokens=reused, prompt_seconds=prompt_seconds,
                          generate_seconds=max(elapsed - prompt_seconds, 0.0))


def file_error(path: str, error: BaseException) -> str:
    """A native error about a model file as users should read it: the path named, and an early end of
    the file said as such."""
    message = str(error).removeprefix("Failed to load model: ")
    if message.startswith("Not a GGUF file"):
        try:
            fmt = _core.FormatDetector.detect(path)
        except RuntimeError:
            fmt = "unknown"
        if fmt in UNREAD_FORMATS:
            message = (f"a {UNREAD_FORMATS[fmt]} file; quillfen runs GGUF models, and does not read the "
                       f"metadata of {UNREAD_FORMATS[fmt]} files yet")
        elif fmt != "unknown":
            message = f"a {fmt} file; quillfen runs GGUF models"
    if message.endswith("failed to fill whole buffer"):
        try:
            message = f"the file is too short to be a model ({os.path.getsize(path)} bytes)"
        except OSError:
            message = "the file is too short to be a model"
    return f"{path!r}: {message}"


def _load_with_progress(path: str, show: bool, threads: int | None) -> _runtime.TextModel:
    """Loads in this thread (the native load releases the interpreter lock); on a terminal another
    thread draws the load's progress on stderr meanwhile."""
    if not show:
        return _runtime.TextModel(path, None, threads)
    progress = _runtime.LoadProgress()
    done = threading.Event()
    name = os.path.basename(path)
    width = 30

    def line(fraction: float, seconds: float) -> str:
        filled = int(fraction * width)
        return f"\rloading {name} [{'#' * filled}{'.' * (width - filled)}] {fraction:4.0%} {seconds:4.1f} s"

    def draw() -> None:
        start = time.perf_counter()
        drawn = False
        while not done.wait(0.1):
            total = progress.total
            sys.stderr.write(line(progress.done / total if total else 0.0, time.perf_counter() - start))
            sys.stderr.flush()
            drawn = True
        if drawn:  # loads shorter than a tenth of a second leave no trace
            sys.stderr.write(line(1.0, time.perf_counter() - start) + "\n")
            sys.stderr.flush()

    painter = threading.Thread(target=draw, daemon=True)
    painter.start()
    try:
        return _runtime.TextModel(path, progress, threads)
    finally:
        done.set()
        painter.join()
