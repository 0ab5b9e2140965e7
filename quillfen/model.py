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
import dataclasses
import numbers
import operator
import os
import secrets
import sys
import threading
import time
from collections.abc import Generator, Iterable, Mapping, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Literal, overload

from quillfen import _core, _runtime
from quillfen import _structured
from quillfen._chat import ChatTemplateError, chat_parts, reads_variable, render_chat
from quillfen._structured import ToolCall


# Formats that detection names but whose metadata no reader takes yet.
UNREAD_FORMATS = {"pytorch_bin": "PyTorch .bin", "ONNX": "ONNX"}

_MASK64 = (1 << 64) - 1
_LCG_MULTIPLIER = 6364136223846793005


@dataclass(frozen=True)
class Completion:
    """The result of `Model.generate` and `Model.chat`."""

    text: str
    tokens: list[int]  # generated ids: the end-of-turn token excluded, those of a stop string kept
    # "stop": end of turn/text, a stop string, or a complete document of the grammar; "length":
    # max_tokens or context; "tool_calls": the reply calls tools; "cancelled": the reader of a stream
    # stopped early (the text is what it was handed)
    finish_reason: Literal["stop", "length", "tool_calls", "cancelled"]
    seed: int  # pass it back as seed= to repeat the run
    prompt_tokens: int
    reused_tokens: int  # prompt tokens whose cache entries an earlier call left
    prompt_seconds: float
    generate_seconds: float
    # With tools: the calls the reply makes (OpenAI's shape through ToolCall.as_openai), and the text
    # outside them (None when there is none); without, content is the text.
    tool_calls: tuple[ToolCall, ...] = ()
    content: str | None = None
    # Under a grammar: seconds spent computing token masks (on a worker, mostly while the forward ran).
    mask_seconds: float = 0.0

    @property
    def tokens_per_second(self) -> float:
        """Generated tokens per second, the prompt's time excluded."""
        return len(self.tokens) / self.generate_seconds if self.generate_seconds > 0 else 0.0

    def message(self) -> dict[str, Any]:
        """The reply as an OpenAI assistant message, ready to append to the conversation."""
        out: dict[str, Any] = {"role": "assistant",
                               "content": self.content if self.tool_calls else self.text}
        if self.tool_calls:
            out["tool_calls"] = [c.as_openai() for c in self.tool_calls]
        return out


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


def next_rng_state(state: int) -> int:
    """The sampler's generator state for the next draw: each step advances it once before drawing."""
    return (state * _LCG_MULTIPLIER + 1) & _MASK64


class TextStream:
    """Generated token ids in, text out as it may be handed to a reader: never a split UTF-8 character,
    nothing that could still grow into a stop string, and the text cut where the first stop string starts
    (`stopped` then says so). `text` is the whole text so far."""

    def __init__(self, tokenizer: _runtime.Tokenizer, stops: Sequence[str]) -> None:
        self._tokenizer = tokenizer
        self._stops = list(stops)
        self._decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        self.text = ""
        self.emitted = 0  # characters of `text` handed out so far
        self.stopped = False

    def push(self, token: int) -> None:
        """Adds one generated token's text, cutting at a stop string it completes."""
        self.text += self._decoder.decode(self._tokenizer.decode([token], False, False))
        # Text handed out never holds the start of a stop string, so the search starts near `emitted`.
        hits = [i for i in (self.text.find(s, max(0, self.emitted - len(s))) for s in self._stops) if i >= 0]
        if hits:
            self.text = self.text[:min(hits)]
            self.stopped = True

    def ready(self) -> str:
        """The text that can be handed out now (marked as handed out)."""
        safe = len(self.text) - _held_back(self.text, self._stops)
        if safe <= self.emitted:
            return ""
        piece, self.emitted = self.text[self.emitted:safe], safe
        return piece

    def finish(self) -> str:
        """The generation has ended: the rest of the text, a trailing incomplete character included
        (as U+FFFD), unless a stop string cut it."""
        if not self.stopped:
            self.text += self._decoder.decode(b"", final=True)
        piece, self.emitted = self.text[self.emitted:], len(self.text)
        return piece

    def cancel(self) -> None:
        """The reader stopped: the text is what it was handed."""
        self.text = self.text[:self.emitted]
        self.stopped = True


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
        # Built on the first constrained call: llguidance's view of the vocabulary, the control tokens by
        # text, and the one worker that computes each step's token mask while the forward pass runs.
        self._grammar_lock = threading.Lock()
        self._lltokenizer: Any = None
        self._control_ids: dict[str, int] = {}
        self._mask_pool: ThreadPoolExecutor | None = None

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
                 parse_special: bool = ..., json_schema: Any = ..., grammar: str | None = ...) -> Completion: ...

    @overload
    def generate(self, prompt: str | Sequence[int], *, max_tokens: int = ..., temperature: float = ...,
                 top_k: int = ..., top_p: float = ..., min_p: float = ..., seed: int | None = ...,
                 stop: str | Sequence[str] = ..., stream: Literal[True], add_special: bool = ...,
                 parse_special: bool = ..., json_schema: Any = ..., grammar: str | None = ...) -> Stream: ...

    @overload
    def generate(self, prompt: str | Sequence[int], *, max_tokens: int = ..., temperature: float = ...,
                 top_k: int = ..., top_p: float = ..., min_p: float = ..., seed: int | None = ...,
                 stop: str | Sequence[str] = ..., stream: bool, add_special: bool = ...,
                 parse_special: bool = ..., json_schema: Any = ...,
                 grammar: str | None = ...) -> Completion | Stream: ...

    def generate(self, prompt: str | Sequence[int], *, max_tokens: int = 256, temperature: float = 0.8,
                 top_k: int = 40, top_p: float = 0.95, min_p: float = 0.05, seed: int | None = None,
                 stop: str | Sequence[str] = (), stream: bool = False, add_special: bool = True,
                 parse_special: bool = False, json_schema: Any = None,
                 grammar: str | None = None) -> Completion | Stream:
        """Continues `prompt` (text, or token ids taken as they are). temperature 0 is greedy (and so is
        the limit of one too small to divide the logits by; an infinite one draws uniformly among the
        tokens the filters keep); the same seed gives the same text, and seed=None draws one that the
        result reports. Ends at the end-of-turn token ("stop"), at a stop string ("stop", the string
        left out), or after max_tokens or at the context length ("length").

        `json_schema` (a dict or its JSON text) or `grammar` (Lark, or llama.cpp's GBNF) holds the output
        to the documents they accept: each step draws only among the tokens that keep it a prefix of
        one, and a complete document ends the generation ("stop"). Whitespace between JSON tokens is
        bounded. A schema or grammar llguidance cannot compile raises ValueError before anything runs."""
        if json_schema is not None and grammar is not None:
            raise ValueError("give json_schema or grammar, not both")
        constraint = (_structured.json_schema_grammar(json_schema) if json_schema is not None
                      else _structured.text_grammar(grammar) if grammar is not None else None)
        if isinstance(prompt, str):
            ids = self.tokenize(prompt, add_special, parse_special)
        elif isinstance(prompt, Iterable) and not isinstance(prompt, (bytes, Mapping)):
            ids = _token_ids("prompt", prompt, self.tokenizer.vocab_size)
        else:
            raise TypeError(f"prompt must be a str or a sequence of token ids, not {type(prompt).__name__}")
        return self._run(ids, max_tokens=max_tokens, temperature=temperature, top_k=top_k, top_p=top_p,
                         min_p=min_p, seed=seed, stop=stop, stream=stream, grammar=constraint)

    @overload
    def chat(self, messages: Sequence[Mapping[str, Any]], *, max_tokens: int = ..., temperature: float = ...,
             top_k: int = ..., top_p: float = ..., min_p: float = ..., seed: int | None = ...,
             stop: str | Sequence[str] = ..., stream: Literal[False] = ...,
             parse_special_in_content: bool = ..., response_format: Any = ..., tools: Any = ...,
             tool_choice: Any = ..., parallel_tool_calls: bool = ...) -> Completion: ...

    @overload
    def chat(self, messages: Sequence[Mapping[str, Any]], *, max_tokens: int = ..., temperature: float = ...,
             top_k: int = ..., top_p: float = ..., min_p: float = ..., seed: int | None = ...,
             stop: str | Sequence[str] = ..., stream: Literal[True],
             parse_special_in_content: bool = ..., response_format: Any = ..., tools: Any = ...,
             tool_choice: Any = ..., parallel_tool_calls: bool = ...) -> Stream: ...

    @overload
    def chat(self, messages: Sequence[Mapping[str, Any]], *, max_tokens: int = ..., temperature: float = ...,
             top_k: int = ..., top_p: float = ..., min_p: float = ..., seed: int | None = ...,
             stop: str | Sequence[str] = ..., stream: bool,
             parse_special_in_content: bool = ..., response_format: Any = ..., tools: Any = ...,
             tool_choice: Any = ..., parallel_tool_calls: bool = ...) -> Completion | Stream: ...

    def chat(self, messages: Sequence[Mapping[str, Any]], *, max_tokens: int = 256, temperature: float = 0.8,
             top_k: int = 40, top_p: float = 0.95, min_p: float = 0.05, seed: int | None = None,
             stop: str | Sequence[str] = (), stream: bool = False,
             parse_special_in_content: bool = False, response_format: Any = None, tools: Any = None,
             tool_choice: Any = None, parallel_tool_calls: bool = True) -> Completion | Stream:
        """The assistant's reply to `messages` ([{"role": ..., "content": ...}, ...]) through the
        model's chat template; otherwise as `generate`. Only the template's own markup becomes
        control tokens: "<|im_end|>" written inside a message is plain text, so a message cannot
        forge a turn. parse_special_in_content=True reads control-token text in messages too, as
        transformers does.

        `response_format` takes OpenAI's shapes: {"type": "json_object"}, or {"type": "json_schema",
        "json_schema": {"schema": {...}, "strict": ...}} (held to the schema either way).

        `tools` (OpenAI's [{"type": "function", "function": {"name", "description", "parameters"}}]) go
        to the template's `tools` variable (a template that reads none gets them described in the system
        message); the reply's calls, in the family's own format (Qwen's <tool_call> tags, Llama 3's JSON
        and <|python_tag|>, Mistral's [TOOL_CALLS]), come back parsed in `tool_calls` with finish_reason
        "tool_calls". `tool_choice`: "auto" (the default), "none" (no tools offered), "required" or
        {"type": "function", "function": {"name": ...}}, which hold the reply to calls whose arguments
        follow the function's parameter schema. Messages may carry earlier calls (an assistant message's
        "tool_calls") and their results (role "tool")."""
        plan = self.chat_plan(messages, response_format=response_format, tools=tools, tool_choice=tool_choice,
                              parallel_tool_calls=parallel_tool_calls,
                              parse_special_in_content=parse_special_in_content)
        return self._run(plan.ids, max_tokens=max_tokens, temperature=temperature, top_k=top_k, top_p=top_p,
                         min_p=min_p, seed=seed, stop=stop, stream=stream, grammar=plan.grammar,
                         tool_format=plan.tool_format, tool_names=plan.tool_names)

    def chat_plan(self, messages: Sequence[Mapping[str, Any]], *, response_format: Any = None, tools: Any = None,
                  tool_choice: Any = None, parallel_tool_calls: Any = True,
                  parse_special_in_content: bool = False) -> ChatPlan:
        """What `chat` runs for these arguments (the prompt ids, the grammar that holds the reply, how
        tool calls are read back), so that a server runs the same; ValueError naming bad tools, a bad
        `tool_choice` or a `response_format` whose schema does not compile."""
        setup = self._tool_setup(messages, tools, tool_choice, parallel_tool_calls)
        constraint = setup.grammar or _structured.response_format_grammar(response_format)
        ids = self.chat_tokens(setup.messages, parse_special_in_content=parse_special_in_content, **setup.values)
        return ChatPlan(ids, constraint, setup.format, {t["function"]["name"] for t in setup.tools})

    def chat_prompt(self, messages: Sequence[Mapping[str, Any]], *, tools: Any = None, tool_choice: Any = None) -> str:
        """The prompt text `chat` makes of `messages` with these tools: the tools where the template
        puts them (or described in the system message), earlier calls as the model writes them."""
        setup = self._tool_setup(messages, tools, tool_choice, True)
        return self.apply_chat_template(setup.messages, **setup.values)

    def _tool_setup(self, messages: Sequence[Mapping[str, Any]], tools: Any, tool_choice: Any,
                    parallel: Any) -> _ToolSetup:
        checked = _structured.check_tools(tools)
        mode, named = _structured.check_tool_choice(tool_choice, checked)
        if not checked and not any(isinstance(m, Mapping) and m.get("tool_calls") for m in messages):
            return _ToolSetup(messages, {}, None, None, checked)
        if reads_variable(self._template(), "tools"):
            fmt = _structured.tool_format(self.chat_template)
            values: dict[str, Any] = {"tools": checked} if mode != "none" else {}
        else:  # the template knows no tools: they and earlier calls are told in Hermes' format
            fmt = _structured.HERMES
            values = {}
            messages = _calls_written_out(messages)
            if mode != "none":
                messages = _with_tools_described(messages, checked)
        grammar = None
        if mode == "required":
            chosen = [t for t in checked if named is None or t["function"]["name"] == named]
            grammar = _structured.lark_grammar(fmt.call_grammar(chosen, bool(parallel), self._control_id))
        return _ToolSetup(messages, values, fmt if mode != "none" else None, grammar, checked)

    def apply_chat_template(self, messages: Sequence[Mapping[str, Any]], add_generation_prompt: bool = True,
                            **values: Any) -> str:
        """The prompt text the model's chat template makes of `messages` (`values`, tools= say, go to
        the template too)."""
        return render_chat(self._template(), messages, add_generation_prompt=add_generation_prompt,
                           **self._template_tokens(), **values)

    def chat_tokens(self, messages: Sequence[Mapping[str, Any]], add_generation_prompt: bool = True, *,
                    parse_special_in_content: bool = False, **values: Any) -> list[int]:
        """The token ids `chat` feeds the model for `messages`: control tokens where the template's
        own markup spells them, each message's content as plain text (unless parse_special_in_content)."""
        if parse_special_in_content:
            return self.tokenize(self.apply_chat_template(messages, add_generation_prompt, **values),
                                 add_special=False, parse_special=True)
        parts = chat_parts(self._template(), messages, add_generation_prompt=add_generation_prompt,
                           **self._template_tokens(), **values)
        return self.tokenizer.encode_parts(parts, add_special=False)

    def _template(self) -> str:
        if self.chat_template is None:
            raise ChatTemplateError(f"{self.path} has no chat template (tokenizer.chat_template); use generate()")
        return self.chat_template

    def _template_tokens(self) -> dict[str, str]:
        tok = self.tokenizer
        return {name: "" if token_id is None else tok.token_text(token_id)
                for name, token_id in (("bos_token", tok.bos_id), ("eos_token", tok.eos_id))}

    # ---- grammars ----------------------------------------------------------------------------

    def grammar_tokenizer(self) -> Any:
        """llguidance's LLTokenizer over this model's own vocabulary (built once, on first need)."""
        with self._grammar_lock:
            if self._lltokenizer is None:
                self._lltokenizer, self._control_ids = _structured.grammar_tokenizer(self.tokenizer)
                self._mask_pool = ThreadPoolExecutor(1, thread_name_prefix="quillfen-mask")
            return self._lltokenizer

    def grammar_matcher(self, grammar: str) -> Any:
        """An llguidance matcher of `grammar` (as _structured's functions give it) over this vocabulary;
        ValueError naming the problem when the grammar does not compile."""
        return _structured.new_matcher(self.grammar_tokenizer(), grammar)

    def token_masks(self, grammar: str) -> TokenMasks:
        """The token masks of one generation held to `grammar`, computed on this model's mask worker;
        ValueError naming the problem when the grammar does not compile."""
        matcher = self.grammar_matcher(grammar)
        return TokenMasks(matcher, self._mask_pool, self.tokenizer.vocab_size)

    def _control_id(self, text: str) -> int | None:
        self.grammar_tokenizer()
        return self._control_ids.get(text)

    # ---- the loop ----------------------------------------------------------------------------

    def _run(self, ids: list[int], *, max_tokens: int, temperature: float, top_k: int, top_p: float,
             min_p: float, seed: int | None, stop: str | Sequence[str], stream: bool, grammar: str | None = None,
             tool_format: _structured.ToolFormat | None = None, tool_names: set[str] | None = None
             ) -> Completion | Stream:
        sampling = _check_sampling(temperature, top_k, top_p, min_p, max_tokens)
        stops = _stop_strings(stop)
        self._native.check_context(ids)
        seed = secrets.randbits(63) if seed is None else _whole("seed", seed) & _MASK64
        matcher = self.grammar_matcher(grammar) if grammar is not None else None
        pieces = self._pieces(ids, int(max_tokens), sampling, seed, stops, matcher)
        if tool_format is not None:
            pieces = _tool_calls_parsed(pieces, tool_format, tool_names or set())
        if stream:
            return Stream(pieces)
        while True:
            try:
                next(pieces)
            except StopIteration as end:
                completion: Completion = end.value
                return completion

    def _pieces(self, prompt: list[int], max_tokens: int, sampling: _Sampling, seed: int,
                stops: list[str], matcher: Any = None) -> Generator[str, None, Completion]:
        tok = self.tokenizer
        context = list(prompt)
        generated: list[int] = []
        out = TextStream(tok, stops)
        finish: Literal["stop", "length", "cancelled"] = "length"
        rng = seed
        reused = 0
        t0 = time.perf_counter()
        prompt_seconds = 0.0
        masks = TokenMasks(matcher, self._mask_pool, tok.vocab_size) if matcher is not None else None
        if masks:
            masks.start()
        while len(generated) < max_tokens:
            rng = next_rng_state(rng)
            token, step_reused, _ = self._native.next_token(context, sampling.temperature, sampling.top_k,
                                                            sampling.top_p, sampling.min_p, rng,
                                                            masks.result if masks else None)
            if not generated:
                reused = min(step_reused, len(prompt))
                prompt_seconds = time.perf_counter() - t0
            if tok.is_end_of_generation(token):
                finish = "stop"
                break
            generated.append(token)
            context.append(token)
            out.push(token)
            # The matcher takes the token at once; the next mask is worked out during the next forward pass.
            document_done = masks is not None and masks.advance(token, len(generated) < max_tokens)
            if out.stopped or document_done:
                finish = "stop"
                break
            if len(generated) == max_tokens or len(context) >= self.context_length:
                break
            piece = out.ready()
            if piece:
                try:
                    yield piece
                except _Cancelled:
                    out.cancel()
                    finish = "cancelled"
                    break
        rest = out.finish()
        if rest:
            try:
                yield rest
            except _Cancelled:
                pass  # the generation had ended: its last piece was handed out
        text = out.text
        elapsed = time.perf_counter() - t0
        return Completion(text=text, tokens=generated, finish_reason=finish, seed=seed, prompt_tokens=len(prompt),
                          reused_tokens=reused, prompt_seconds=prompt_seconds,
                          generate_seconds=max(elapsed - prompt_seconds, 0.0), content=text,
                          mask_seconds=masks.seconds if masks else 0.0)


@dataclass(frozen=True)
class _ToolSetup:
    messages: Sequence[Mapping[str, Any]]  # as the template gets them
    values: dict[str, Any]  # tools= for templates that read them
    format: _structured.ToolFormat | None  # how to read calls back, None when none are offered
    grammar: str | None  # the calls' grammar, for tool_choice "required" or a named function
    tools: list[dict[str, Any]]  # as check_tools gave them


@dataclass(frozen=True)
class ChatPlan:
    ids: list[int]  # the prompt
    grammar: str | None  # what holds the reply: the calls' grammar, or the response format's
    tool_format: _structured.ToolFormat | None  # how to read calls back, None when none are offered
    tool_names: set[str]  # the functions offered


class TokenMasks:
    """Token masks of one constrained generation. Each mask is computed on the model's mask worker
    (llguidance releases the interpreter lock), started as soon as the matcher has taken the last
    token, and the native step asks for it (calls `result`) only once its forward pass has run."""

    def __init__(self, matcher: Any, pool: ThreadPoolExecutor | None, vocab_size: int) -> None:
        assert pool is not None
        self._matcher = matcher
        self._pool = pool
        self._pending: Future[memoryview] | None = None
        self._vocab = vocab_size
        self._bytes = 4 * ((vocab_size + 31) // 32)
        self.seconds = 0.0

    def fresh(self) -> TokenMasks:
        """Masks of the same grammar from its start, for another sequence (a copy of the compiled matcher)."""
        return TokenMasks(self._matcher.deep_copy(), self._pool, self._vocab)

    def _compute(self) -> memoryview:
        t = time.perf_counter()
        mask: bytes = self._matcher.compute_bitmask()
        self.seconds += time.perf_counter() - t
        if self._matcher.is_error():
            raise RuntimeError(f"the grammar matcher failed: {self._matcher.get_error()}")
        # llguidance may write a spare word past the vocabulary: a view of the words the model reads.
        return memoryview(mask)[:self._bytes]

    def start(self) -> None:
        self._pending = self._pool.submit(self._compute)

    def result(self) -> memoryview:
        assert self._pending is not None
        return self._pending.result()

    def advance(self, token: int, more: bool) -> bool:
        """Gives the matcher `token` and, when `more` steps may follow, starts the next mask; True when
        the document is complete and nothing may follow."""
        if not self._matcher.consume_token(token):
            raise RuntimeError(f"the grammar matcher refused token {token}: {self._matcher.get_error()}")
        if self._matcher.is_stopped():
            return True
        if more:
            self.start()
        return False


def _tool_calls_parsed(pieces: Generator[str, None, Completion], fmt: _structured.ToolFormat,
                       names: set[str]) -> Generator[str, None, Completion]:
    """The pieces as they come; the completion with the reply's tool calls parsed out of its text."""
    completion = yield from pieces
    content, calls, finish = _structured.reply_calls(fmt, completion.text, names, completion.finish_reason)
    if not calls:
        return completion
    return dataclasses.replace(completion, tool_calls=tuple(calls), content=content, finish_reason=finish)


def _calls_written_out(messages: Sequence[Mapping[str, Any]]) -> list[Any]:
    """`messages` with each assistant message's earlier tool calls written into its content, as the
    model was told to write them, for templates that read no `tool_calls`."""
    out: list[Any] = []
    for m in messages:
        calls = m.get("tool_calls") if isinstance(m, Mapping) else None
        if calls:
            written = "\n".join(_structured.HERMES.write(c) for c in calls)
            m = {k: v for k, v in m.items() if k != "tool_calls"}
            m["content"] = "\n".join(filter(None, [m.get("content") or "", written]))
        out.append(m)
    return out


def _with_tools_described(messages: Sequence[Mapping[str, Any]], tools: list[dict[str, Any]]) -> list[Any]:
    """`messages` with the tools described in the system message (a new one first when there is none),
    for templates that take no tools."""
    prompt = _structured.tools_system_prompt(tools)
    out = list(messages)
    first = out[0] if out else None
    if isinstance(first, Mapping) and first.get("role") == "system" and isinstance(first.get("content"), str):
        out[0] = {**first, "content": f"{first['content']}\n\n{prompt}"}
    else:
        out.insert(0, {"role": "system", "content": prompt})
    return out


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
