"""The server's engine: `--parallel` slots, a bounded queue in front of them, and one thread that steps
every busy slot.

The HTTP side submits a `Sequence` (one choice of one request) and reads `Event`s from it; everything
below that line is the engine's. Each step the scheduler frees the slots whose readers left, admits
waiting sequences to free slots (the one whose cache shares the longest prefix with the prompt), asks
the backend for one unit of work per busy slot (a chunk of a new prompt, or the logits after the
context), and turns logits into tokens, text and log-probabilities.

The backend is the only part that touches the model. `SharedModel` makes each slot one of the model's
numbered sequences, each with a cache of its own beside the one set of weights, and runs a step's work
for every slot in one batched forward (`TextModel.step`): each packed weight block is decoded once per
batch for all of them. A sequence's logits depend on its own tokens only, so each answer is the one
that request gets alone.
"""

from __future__ import annotations

import asyncio
import collections
import secrets
import threading
import time
from collections.abc import Callable
from collections.abc import Sequence as Seq
from dataclasses import dataclass, field
from typing import Literal, Protocol

import numpy as np

from quillfen import _runtime
from quillfen.model import _MASK64, TextStream, TokenMasks, _check_sampling, next_rng_state

# Prompt tokens a new sequence runs per step: long prompts are cut into chunks so that the sequences
# already decoding wait for at most one chunk between their tokens.
PREFILL_CHUNK = 256
# Prompt tokens another slot is about to hold that make a new sequence wait for them instead of running
# them itself.
PREFIX_WORTH_WAITING = 16


@dataclass(frozen=True)
class Sampling:
    """How one sequence draws its tokens. Penalties and biases change the logits the sampler sees."""

    temperature: float = 1.0
    top_k: int = 0
    top_p: float = 1.0
    min_p: float = 0.0
    presence_penalty: float = 0.0
    frequency_penalty: float = 0.0
    logit_bias: dict[int, float] = field(default_factory=dict)
    top_logprobs: int | None = None  # None: no log-probabilities; 0..20: the chosen token's and this many others'


@dataclass(frozen=True)
class TokenLogprob:
    token: int
    logprob: float
    top: list[tuple[int, float]]  # the most probable tokens, most probable first


@dataclass(frozen=True)
class Event:
    """What a sequence hands its reader: text (with the tokens that completed it), or its end."""

    text: str = ""
    tokens: tuple[int, ...] = ()
    logprobs: tuple[TokenLogprob, ...] = ()
    finish_reason: Literal["stop", "length", None] = None
    error: str | None = None  # the sequence ended without finishing
    shutdown: bool = False  # ... because the server is stopping


class Overloaded(Exception):
    """The queue is full."""


class Sequence:
    """One generation: a prompt, its limits and sampling, and the events its reader awaits."""

    def __init__(self, prompt: list[int], *, max_tokens: int, sampling: Sampling, seed: int | None,
                 stops: Seq[str], loop: asyncio.AbstractEventLoop, masks: TokenMasks | None = None) -> None:
        self.prompt = prompt
        self.masks = masks  # the grammar the answer is held to: a matcher of this sequence's own
        self.max_tokens = max_tokens
        self.sampling = sampling
        self.seed = secrets.randbits(63) if seed is None else seed & _MASK64
        self.stops = list(stops)
        self.events: asyncio.Queue[Event] = asyncio.Queue()
        self._loop = loop
        self.cancelled = False  # set by the reader (any thread); the engine frees the slot at its next step
        self.cached_tokens = 0  # prompt tokens the slot's cache already held
        self.generated: list[int] = []
        self.enqueued = time.perf_counter()
        self.first_token_at: float | None = None

    def cancel(self) -> None:
        self.cancelled = True

    def emit(self, event: Event) -> None:
        try:
            self._loop.call_soon_threadsafe(self.events.put_nowait, event)
        except RuntimeError:  # the event loop has closed: nobody is reading
            pass


@dataclass
class Work:
    """One slot's part of a step: run `context[:upto]`; then, when `logits`, give the logits after it, or
    when `draw` (temperature, top_k, top_p, min_p, generator state) is set too, the token drawn from
    them (a sequence that neither changes nor reports its logits need not have them handed over), among
    the tokens `mask` allows when it is set (called once the forward has run)."""

    slot: int
    context: list[int]
    upto: int
    logits: bool
    draw: tuple[float, int, float, float, int] | None = None
    mask: Callable[[], memoryview] | None = None


class Backend(Protocol):
    vocab_size: int

    def step(self, work: list[Work]) -> list[bytes | int | None | Exception]:
        """Runs every slot's work; one result per item: the logits (native float32) or the drawn token
        when asked, None when not, or the exception that item raised."""
        ...

    def share(self, source: int, target: int, prompt: list[int]) -> int:
        """Gives slot `target` the longest prefix of `prompt` that slot `source`'s cache holds (short of
        its last token) in place of its own; the positions copied."""
        ...


class SharedModel:
    """The slots as numbered sequences of one `TextModel`: a step runs every slot's new tokens together,
    then draws the tokens that were asked for from the logits it got back (among those a sequence's
    grammar allows)."""

    def __init__(self, model: _runtime.TextModel) -> None:
        self.model = model
        self.vocab_size = model.tokenizer.vocab_size

    def step(self, work: list[Work]) -> list[bytes | int | None | Exception]:
        try:
            out = self.model.step([(w.slot, w.context[:w.upto], w.logits) for w in work])
        except Exception as e:  # a refused context fails its own sequence only: the others run again alone
            if len(work) == 1:
                return [e]
            return [r for w in work for r in self.step([w])]
        results: list[bytes | int | None | Exception] = []
        for w, (logits, _, _) in zip(work, out):
            if not w.logits:
                results.append(None)
            elif w.draw is not None:
                if w.mask is not None:  # as the native sampler masks: the allowed logits bit for bit
                    held = masked(np.frombuffer(logits, dtype=np.float32), w.mask(), self.vocab_size)
                    if not np.isfinite(held).any() and not np.isposinf(held).any():
                        results.append(ValueError("the grammar allows no token here"))
                        continue
                    logits = held.tobytes()
                results.append(_runtime.sample(logits, *w.draw))
            else:
                results.append(logits)
        return results


    def share(self, source: int, target: int, prompt: list[int]) -> int:
        return self.model.share(source, target, prompt)


def common_prefix(a: Seq[int], b: Seq[int]) -> int:
    n = min(len(a), len(b))
    i = 0
    while i < n and a[i] == b[i]:
        i += 1
    return i


def log_softmax(logits: np.ndarray) -> np.ndarray:
    """float32 log-probabilities of float32 logits, summed in float64 and rounded once."""
    x = logits.astype(np.float64)
    m = x.max()
    out: np.ndarray = (x - m - np.log(np.exp(x - m).sum())).astype(np.float32)
    return out


def masked(logits: np.ndarray, mask: memoryview, vocab: int) -> np.ndarray:
    """`logits` with every token the mask (one bit per id, llguidance's layout) leaves out at -inf, the
    rest bit for bit, as the native sampler masks them."""
    allowed = np.unpackbits(np.frombuffer(mask, dtype=np.uint8), bitorder="little")[:vocab].astype(bool)
    out = logits.copy()
    out[~allowed] = -np.inf
    return out


class _Decoding:
    """A sequence in a slot: its context, its text and its draws."""

    def __init__(self, seq: Sequence, tokenizer: _runtime.Tokenizer, context_limit: int, vocab: int) -> None:
        self.seq = seq
        self.context = list(seq.prompt)
        self.ran = 0  # tokens of `context` the slot's cache holds
        self.text = TextStream(tokenizer, seq.stops)
        self.rng = seq.seed
        self.limit = context_limit
        self.vocab = vocab
        s = seq.sampling
        checked = _check_sampling(s.temperature, s.top_k, s.top_p, s.min_p, seq.max_tokens)
        self.draw = (checked.temperature, checked.top_k, checked.top_p, checked.min_p)
        self.counts: collections.Counter[int] = collections.Counter()
        self.pending: list[TokenLogprob] = []  # log-probabilities of tokens whose text is held back
        self.pending_tokens: list[int] = []
        self.ends: list[int] = []  # the end of each generated token's text in `text.text`
        if seq.masks is not None:  # the first mask is worked out while the prompt runs
            seq.masks.start()

    def work(self, slot: int) -> Work:
        prefilling = self.ran < len(self.seq.prompt)
        upto = min(len(self.context), self.ran + PREFILL_CHUNK) if prefilling else len(self.context)
        s = self.seq.sampling
        plain = not (s.presence_penalty or s.frequency_penalty or s.logit_bias or s.top_logprobs is not None)
        draw = (*self.draw, next_rng_state(self.rng)) if plain else None
        mask = self.seq.masks.result if self.seq.masks is not None and draw is not None else None
        return Work(slot, self.context, upto, logits=upto == len(self.context), draw=draw, mask=mask)

    def _sampler_logits(self, raw: bytes) -> np.ndarray:
        logits = np.frombuffer(raw, dtype=np.float32, count=self.vocab)
        s = self.seq.sampling
        if not (s.presence_penalty or s.frequency_penalty or s.logit_bias):
            return logits
        logits = logits.copy()
        if self.counts:
            ids = np.fromiter(self.counts.keys(), dtype=np.int64, count=len(self.counts))
            counts = np.fromiter(self.counts.values(), dtype=np.float32, count=len(self.counts))
            logits[ids] -= counts * np.float32(s.frequency_penalty) + np.float32(s.presence_penalty)
        for token, bias in s.logit_bias.items():
            if token < self.vocab:
                logits[token] += np.float32(bias)
        return logits

    def advance(self, result: bytes | int, tokenizer: _runtime.Tokenizer) -> Event | None:
        """Takes the next token (drawn by the backend, or here from the logits after the context);
        returns the event to hand out, if any."""
        self.rng = next_rng_state(self.rng)
        seq = self.seq
        logits = None
        if isinstance(result, int):
            token = result
        else:
            logits = self._sampler_logits(result)
            if seq.masks is not None:
                logits = masked(logits, seq.masks.result(), self.vocab)
            token = _runtime.sample(logits.data, *self.draw, self.rng)
        if seq.first_token_at is None:
            seq.first_token_at = time.perf_counter()
        if tokenizer.is_end_of_generation(token):
            return self._end("stop")
        if logits is not None and seq.sampling.top_logprobs is not None:
            self.pending.append(self._logprob(logits, token))
        self.pending_tokens.append(token)
        seq.generated.append(token)
        self.counts[token] += 1
        self.context.append(token)
        self.text.push(token)
        self.ends.append(len(self.text.text))
        at_limit = len(seq.generated) >= seq.max_tokens or len(self.context) >= self.limit
        # The matcher takes the token at once; the next mask is worked out during the next forward.
        complete = seq.masks is not None and seq.masks.advance(token, not at_limit)
        if self.text.stopped or complete:
            return self._end("stop")
        if at_limit:
            return self._end("length")
        piece = self.text.ready()
        if not piece:
            return None
        event = Event(piece, tuple(self.pending_tokens), tuple(self.pending))
        self.pending, self.pending_tokens = [], []
        return event

    def _logprob(self, logits: np.ndarray, token: int) -> TokenLogprob:
        lp = log_softmax(logits)
        k = self.seq.sampling.top_logprobs or 0
        top: list[tuple[int, float]] = []
        if k:
            candidates = np.argpartition(-lp, k - 1)[:k].tolist()
            # Most probable first; equal ones by id, so the order does not depend on the partition.
            top = [(i, float(lp[i])) for i in sorted(candidates, key=lambda i: (-float(lp[i]), i))]
            top = [(i, v) for i, v in top if v != -np.inf]  # tokens a grammar ruled out have no place
        return TokenLogprob(token, float(lp[token]), top)

    def _end(self, reason: Literal["stop", "length"]) -> Event:
        rest = self.text.finish()
        if self.text.stopped:
            # Tokens whose text starts at or after the cut spelled only the stop string: they are not
            # part of the answer, so no log-probability is given for them.
            starts = [0, *self.ends[:-1]]
            keep = sum(1 for start in starts if start < len(self.text.text))
            cut = max(0, keep - (len(self.ends) - len(self.pending_tokens)))
            self.pending_tokens, self.pending = self.pending_tokens[:cut], self.pending[:cut]
        return Event(rest, tuple(self.pending_tokens), tuple(self.pending), finish_reason=reason)


@dataclass
class Slot:
    cached: list[int] = field(default_factory=list)  # the tokens this slot's cache holds
    decoding: _Decoding | None = None
    last_used: float = 0.0


def _fit(slot: Slot, prompt: list[int]) -> tuple[bool, int, float]:
    """How well a free slot suits a prompt, best highest: the slots whose cache the prompt mostly
    continues (three quarters of it or more: the next turn of its conversation, an empty slot) or holds
    whole (the same prompt again), the longest shared prefix first; else the slot unused longest. A new
    conversation so takes the oldest cache rather than the one sharing its system prompt, which is
    another conversation's (it borrows the system prompt from there instead)."""
    shared = common_prefix(slot.cached, prompt)
    continues = 4 * shared >= 3 * len(slot.cached) or shared >= len(prompt) - 1
    return continues, shared if continues else 0, -slot.last_used


@dataclass
class Stats:
    """Counters the metrics read."""

    prompt_tokens: int = 0
    cached_tokens: int = 0
    generated_tokens: int = 0
    recent: collections.deque[tuple[float, int]] = field(default_factory=lambda: collections.deque(maxlen=256))

    def tokens_per_second(self, window: float = 10.0) -> float:
        now = time.perf_counter()
        steps = [(t, n) for t, n in list(self.recent) if now - t <= window]
        if not steps:
            return 0.0
        span = max(now - steps[0][0], 1e-3)
        return sum(n for _, n in steps) / span


class Engine:
    """Owns the slots and the queue; one thread steps the busy slots."""

    def __init__(self, backend: Backend, tokenizer: _runtime.Tokenizer, *, parallel: int, context_limit: int,
                 max_queue: int) -> None:
        self.backend = backend
        self.tokenizer = tokenizer
        self.context_limit = context_limit
        self.max_queue = max_queue
        self.slots = [Slot() for _ in range(parallel)]
        self.waiting: collections.deque[Sequence] = collections.deque()
        self.stats = Stats()
        self._cond = threading.Condition()
        self._stopping = False
        self.progress_at = time.perf_counter()  # when the last step ended, or work came to an idle engine
        self._thread = threading.Thread(target=self._run, name="quillfen-engine", daemon=True)
        self._thread.start()

    # ---- the HTTP side ---------------------------------------------------------------------------

    def submit(self, seqs: list[Sequence]) -> None:
        """Queues the sequences of one request, all or none; Overloaded when the queue has no room."""
        with self._cond:
            if self._stopping:
                raise Overloaded("the server is shutting down")
            free = sum(1 for s in self.slots if s.decoding is None)
            if len(self.waiting) + len(seqs) > self.max_queue + free:
                raise Overloaded(f"the queue is full ({self.max_queue} waiting)")
            if self._idle():
                self.progress_at = time.perf_counter()
            self.waiting.extend(seqs)
            self._cond.notify()

    def busy_slots(self) -> int:
        return sum(1 for s in self.slots if s.decoding is not None)

    def queue_depth(self) -> int:
        return len(self.waiting)

    def _idle(self) -> bool:
        return not self.waiting and all(s.decoding is None for s in self.slots)

    def stalled_for(self) -> float | None:
        """Seconds the engine has had work without ending a step (0 when idle); None once its thread has
        stopped. What a health check reads."""
        if not self._thread.is_alive():
            return None
        with self._cond:
            return 0.0 if self._idle() else time.perf_counter() - self.progress_at

    def shutdown(self, reason: str = "the server is shutting down") -> None:
        """Ends every waiting and running sequence with an error event and stops the thread."""
        with self._cond:
            self._stopping = True
            self._cond.notify()
        self._thread.join()
        for seq in self.waiting:
            seq.emit(Event(error=reason, shutdown=True))
        self.waiting.clear()
        for slot in self.slots:
            if slot.decoding is not None:
                slot.decoding.seq.emit(Event(error=reason, shutdown=True))
                slot.decoding = None

    # ---- the engine thread -----------------------------------------------------------------------

    def _run(self) -> None:
        while True:
            with self._cond:
                while not self._stopping and not self.waiting and all(s.decoding is None for s in self.slots):
                    self._cond.wait()
                if self._stopping:
                    return
                self._free_cancelled()
                self._admit()
                busy = [(i, s) for i, s in enumerate(self.slots) if s.decoding is not None]
            if busy:
                self._step(busy)

    def _free_cancelled(self) -> None:
        self.waiting = collections.deque(s for s in self.waiting if not s.cancelled)
        for slot in self.slots:
            if slot.decoding is not None and slot.decoding.seq.cancelled:
                self._release(slot)

    def _admit(self) -> None:
        while self.waiting:
            free = [s for s in self.slots if s.decoding is None]
            if not free:
                return
            seq = self.waiting[0]
            if seq.max_tokens > 0 and self._prefix_coming(seq.prompt):
                return  # in order: the sequences behind it wait too
            self.waiting.popleft()
            if seq.max_tokens == 0:  # nothing to generate: no slot needed
                seq.emit(Event(finish_reason="length"))
                continue
            slot = max(free, key=lambda s: _fit(s, seq.prompt))
            self._borrow_prefix(slot, seq.prompt)
            d = _Decoding(seq, self.tokenizer, self.context_limit, self.backend.vocab_size)
            # The prompt's last token runs again even when cached: its logits are not kept.
            d.ran = min(common_prefix(slot.cached, seq.prompt), len(seq.prompt) - 1)
            seq.cached_tokens = d.ran
            slot.decoding = d
            self.stats.prompt_tokens += len(seq.prompt)
            self.stats.cached_tokens += d.ran

    def _held(self, slot: Slot) -> list[int]:
        return slot.cached if slot.decoding is None else slot.decoding.context[:slot.decoding.ran]

    def _prefix_coming(self, prompt: list[int]) -> bool:
        """Whether a prompt some slot is still running shares enough more of `prompt` than any cache
        holds yet that `prompt` should wait for it (a step or a few) and take it over rather than run
        the same positions beside it: requests that arrive together with one system prompt, or the
        choices of one request."""
        held = max((common_prefix(self._held(s), prompt) for s in self.slots), default=0)
        coming = max((common_prefix(s.decoding.seq.prompt, prompt) for s in self.slots
                      if s.decoding is not None and s.decoding.ran < len(s.decoding.seq.prompt)), default=0)
        return min(coming, len(prompt) - 1) >= held + PREFIX_WORTH_WAITING

    def _borrow_prefix(self, slot: Slot, prompt: list[int]) -> None:
        """When another slot's cache, busy or not, holds more of the prompt than this slot's (another
        conversation's system prompt, on a slot never used or last used for something else), this slot
        takes that prefix: those positions need not run again, and give the same bits they would."""
        own = common_prefix(slot.cached, prompt)
        best, donor = own, -1
        for i, other in enumerate(self.slots):
            if other is not slot:
                shared = common_prefix(self._held(other), prompt)
                if shared > best:
                    best, donor = shared, i
        if donor >= 0 and min(best, len(prompt) - 1) > own:
            try:
                copied = self.backend.share(donor, self.slots.index(slot), prompt)
            except Exception:  # no memory for the copy, say: the prompt runs in full instead
                slot.cached = []
                return
            if copied > own:
                slot.cached = prompt[:copied]

    def _release(self, slot: Slot) -> None:
        if slot.decoding is not None:
            slot.cached = slot.decoding.context[:slot.decoding.ran]
        slot.decoding = None
        slot.last_used = time.perf_counter()

    def _step(self, busy: list[tuple[int, Slot]]) -> None:
        work = [s.decoding.work(i) for i, s in busy if s.decoding is not None]
        results = self.backend.step(work)
        produced = 0
        with self._cond:
            for (_, slot), w, result in zip(busy, work, results):
                d = slot.decoding
                if d is None:
                    continue
                if isinstance(result, Exception):
                    d.ran = 0  # what the cache holds after a failed step is not known
                    d.seq.emit(Event(error=str(result)))
                    self._release(slot)
                    continue
                d.ran = w.upto
                if result is None:
                    continue
                before = len(d.seq.generated)
                try:
                    event = d.advance(result, self.tokenizer)
                except RuntimeError as e:  # the grammar matcher failed: this sequence ends, not the engine
                    d.seq.emit(Event(error=str(e)))
                    self._release(slot)
                    continue
                produced += len(d.seq.generated) - before
                if event is not None:
                    d.seq.emit(event)
                    if event.finish_reason is not None:
                        self._release(slot)
            self.stats.generated_tokens += produced
            self.progress_at = time.perf_counter()
            self.stats.recent.append((self.progress_at, produced))


def start_engine(model: _runtime.TextModel, *, parallel: int, context_limit: int, max_queue: int) -> Engine:
    return Engine(SharedModel(model), model.tokenizer, parallel=parallel, context_limit=context_limit,
                  max_queue=max_queue)
