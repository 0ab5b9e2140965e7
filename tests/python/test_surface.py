"""The Python surface shared by every class: signatures, call shapes, argument conversion."""

import gc
import sys

import pytest

from quillfen._core import FormatDetector, HardwareProfile, InferenceEngine, LlamaSession, Scheduler, TieredMemoryManager

DEFAULT_RAM = 5153960755
DEFAULT_SWAP = 10307921510
U64_MAX = 2**64 - 1
CLASSES = [TieredMemoryManager, Scheduler, InferenceEngine, HardwareProfile]


@pytest.mark.parametrize("cls", CLASSES)
def test_bare_names_under_builtins_and_instances_release_their_type(cls):
    assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
    before = sys.getrefcount(cls)
    objs = [cls() for _ in range(10)]
    del objs
    gc.collect()
    assert sys.getrefcount(cls) == before


SELF_ONLY = [TieredMemoryManager.tier_stats, TieredMemoryManager.vram_budget, TieredMemoryManager.ram_budget,
             TieredMemoryManager.swap_budget, Scheduler.backend_info, Scheduler.backend_count,
             InferenceEngine.backend_count, HardwareProfile.is_gpu, HardwareProfile.is_apu, LlamaSession.reset,
             LlamaSession.vocab_size, LlamaSession.num_layers, LlamaSession.hidden_dim]


@pytest.mark.parametrize("obj, signature", [
    (TieredMemoryManager, "(vram_budget=0, ram_budget=0, swap_budget=0)"), (Scheduler, "()"),
    (InferenceEngine, "(vram_budget=0, ram_budget=0)"), (HardwareProfile, "()"),
    (InferenceEngine.load_model, "($self, path)"), (FormatDetector.detect, "(path)"),
    (FormatDetector.load_metadata, "(path)"), (LlamaSession, "(path)"),
    (LlamaSession.generate_next_token, "($self, token_id, temperature, top_k, top_p)"),
    *((m, "($self)") for m in SELF_ONLY),
])
def test_text_signatures_and_no_docstrings(obj, signature):
    assert obj.__text_signature__ == signature
    assert isinstance(obj, type) or not obj.__doc__


# One case per kind of error: every class parses its arguments through the same binder.
@pytest.mark.parametrize("call, message", [
    (lambda: TieredMemoryManager(1, 2, 3, 4),
     "TieredMemoryManager.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    (lambda: Scheduler(1), "Scheduler.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: TieredMemoryManager(ram=1), "TieredMemoryManager.__new__() got an unexpected keyword argument 'ram'"),
    (lambda: TieredMemoryManager(1, vram_budget=2),
     "TieredMemoryManager.__new__() got multiple values for argument 'vram_budget'"),
    (lambda: InferenceEngine().load_model(),
     "InferenceEngine.load_model() missing 1 required positional argument: 'path'"),
    (lambda: InferenceEngine().load_model("a", "b"),
     "InferenceEngine.load_model() takes 1 positional arguments but 2 were given"),
    (lambda: TieredMemoryManager().swap_budget(1), "TieredMemoryManager.swap_budget() takes no arguments (1 given)"),
    (lambda: FormatDetector.detect(), "FormatDetector.detect() missing 1 required positional argument: 'path'"),
    (lambda: LlamaSession(), "LlamaSession.__new__() missing 1 required positional argument: 'path'"),
])
def test_call_shape_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("value, exc, message", [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    (1.5, TypeError, "argument 'ram_budget': 'float' object cannot be interpreted as an integer"),
    ("1", TypeError, "argument 'ram_budget': 'str' object cannot be interpreted as an integer"),
])
def test_budget_conversion_errors(value, exc, message):
    with pytest.raises(exc) as info:
        TieredMemoryManager(ram_budget=value)
    assert str(info.value) == message


@pytest.mark.parametrize("path", [b"model.gguf", None, "posix_path"])
def test_path_must_be_str(tmp_path, path):
    path = tmp_path if path == "posix_path" else path
    with pytest.raises(TypeError) as info:
        InferenceEngine().load_model(path=path)
    assert str(info.value) == f"argument 'path': '{type(path).__name__}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("args, kwargs, budgets", [
    ((), {}, (0, DEFAULT_RAM, DEFAULT_SWAP)),
    ((0, 0, 0), {}, (0, DEFAULT_RAM, DEFAULT_SWAP)),
    ((8,), {}, (8, 0, 0)),
    ((), {"swap_budget": 5, "vram_budget": 4}, (4, 0, 5)),
    ((type("Budget", (), {"__index__": lambda self: 7})(), True), {"swap_budget": U64_MAX}, (7, 1, U64_MAX)),
])
def test_budgets_defaults_and_empty_tiers(args, kwargs, budgets):
    m = TieredMemoryManager(*args, **kwargs)
    assert (m.vram_budget(), m.ram_budget(), m.swap_budget()) == budgets
    assert m.tier_stats() == [(kind, 0, budget, 0.0)  # the core adds no defaults
                              for kind, budget in zip(("Vram", "Ram", "Swap", "Disk"), (*budgets, U64_MAX))]


def test_new_objects_report_one_cpu_backend_and_a_generic_profile():
    s = Scheduler()
    assert s.backend_count() == 1
    [(name, kind)] = s.backend_info()
    assert kind == "CPU" and name.startswith("CPU (") and name.endswith(" threads)")
    assert int(name[5:-9]) >= 1
    p = HardwareProfile()
    assert (p.is_gpu(), p.is_apu(), repr(p)) == (False, False, "Generic")
    assert InferenceEngine().backend_count() == InferenceEngine(vram_budget=8, ram_budget=U64_MAX).backend_count() == 1
