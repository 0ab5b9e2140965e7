"""The Python surface shared by every class: signatures, call shapes, argument conversion."""

import gc
import sys

import pytest

from quillfen import _core
from quillfen._core import HardwareProfile, InferenceEngine, Scheduler, TieredMemoryManager

DEFAULT_RAM = 5153960755
DEFAULT_SWAP = 10307921510
U64_MAX = 2**64 - 1


class TestRegistration:
    @pytest.mark.parametrize("cls", [TieredMemoryManager, Scheduler, InferenceEngine, HardwareProfile])
    def test_bare_names_under_builtins(self, cls):
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__

    @pytest.mark.parametrize(
        "obj, signature",
        [
            (TieredMemoryManager, "(vram_budget=0, ram_budget=0, swap_budget=0)"),
            (Scheduler, "()"),
            (InferenceEngine, "(vram_budget=0, ram_budget=0)"),
            (HardwareProfile, "()"),
            (TieredMemoryManager.tier_stats, "($self)"),
            (TieredMemoryManager.vram_budget, "($self)"),
            (Scheduler.backend_info, "($self)"),
            (Scheduler.backend_count, "($self)"),
            (InferenceEngine.load_model, "($self, path)"),
            (InferenceEngine.backend_count, "($self)"),
            (HardwareProfile.is_gpu, "($self)"),
            (HardwareProfile.is_apu, "($self)"),
        ],
    )
    def test_text_signatures(self, obj, signature):
        assert obj.__text_signature__ == signature

    def test_method_docstrings_hold_only_the_signature(self):
        assert not InferenceEngine.load_model.__doc__
        assert not Scheduler.backend_info.__doc__

    def test_instances_release_their_type(self):
        for cls in (HardwareProfile, Scheduler, TieredMemoryManager, InferenceEngine):
            before = sys.getrefcount(cls)
            objs = [cls() for _ in range(10)]
            del objs
            gc.collect()
            assert sys.getrefcount(cls) == before


class TestCallShapes:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: TieredMemoryManager(1, 2, 3, 4),
             "TieredMemoryManager.__new__() takes from 0 to 3 positional arguments but 4 were given"),
            (lambda: Scheduler(1), "Scheduler.__new__() takes 0 positional arguments but 1 was given"),
            (lambda: HardwareProfile(1, 2), "HardwareProfile.__new__() takes 0 positional arguments but 2 were given"),
            (lambda: Scheduler(x=1), "Scheduler.__new__() got an unexpected keyword argument 'x'"),
            (lambda: TieredMemoryManager(ram=1), "TieredMemoryManager.__new__() got an unexpected keyword argument 'ram'"),
            (lambda: TieredMemoryManager(1, vram_budget=2),
             "TieredMemoryManager.__new__() got multiple values for argument 'vram_budget'"),
            (lambda: InferenceEngine().load_model(),
             "InferenceEngine.load_model() missing 1 required positional argument: 'path'"),
            (lambda: InferenceEngine().load_model("a", "b"),
             "InferenceEngine.load_model() takes 1 positional arguments but 2 were given"),
            (lambda: InferenceEngine().load_model("a", path="b"),
             "InferenceEngine.load_model() got multiple values for argument 'path'"),
            (lambda: InferenceEngine().load_model(paths="a"),
             "InferenceEngine.load_model() got an unexpected keyword argument 'paths'"),
        ],
    )
    def test_call_shape_errors(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    @pytest.mark.parametrize("method", ["tier_stats", "vram_budget", "ram_budget", "swap_budget"])
    def test_argument_free_methods_reject_arguments(self, method):
        with pytest.raises(TypeError, match="takes no arguments"):
            getattr(TieredMemoryManager(), method)(1)


class TestConversions:
    @pytest.mark.parametrize("value, exc, message", [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (1.5, TypeError, "argument 'ram_budget': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'ram_budget': 'str' object cannot be interpreted as an integer"),
    ])
    def test_budget_conversion_errors(self, value, exc, message):
        with pytest.raises(exc) as info:
            TieredMemoryManager(ram_budget=value)
        assert str(info.value) == message
        with pytest.raises(exc):
            InferenceEngine(ram_budget=value)

    def test_budget_accepts_index_objects_and_bools(self):
        class Budget:
            def __index__(self):
                return 7
        assert TieredMemoryManager(Budget()).vram_budget() == 7
        assert TieredMemoryManager(True).vram_budget() == 1

    def test_largest_budget_round_trips(self):
        assert TieredMemoryManager(swap_budget=U64_MAX).swap_budget() == U64_MAX

    @pytest.mark.parametrize("path", [b"model.gguf", 3, None])
    def test_path_must_be_str(self, path):
        with pytest.raises(TypeError) as info:
            InferenceEngine().load_model(path)
        assert str(info.value) == f"argument 'path': '{type(path).__name__}' object cannot be converted to 'PyString'"

    def test_path_object_is_rejected(self, tmp_path):
        with pytest.raises(TypeError, match="'PosixPath' object cannot be converted to 'PyString'"):
            InferenceEngine().load_model(path=tmp_path)


class TestTieredMemoryManager:
    @pytest.mark.parametrize("args, kwargs, budgets", [
        ((), {}, (0, DEFAULT_RAM, DEFAULT_SWAP)),
        ((0, 0, 0), {}, (0, DEFAULT_RAM, DEFAULT_SWAP)),
        ((8,), {}, (8, 0, 0)),
        ((), {"ram_budget": 1000}, (0, 1000, 0)),
        ((1, 2, 3), {}, (1, 2, 3)),
        ((), {"swap_budget": 5, "vram_budget": 4}, (4, 0, 5)),
    ])
    def test_budgets_and_defaults(self, args, kwargs, budgets):
        m = TieredMemoryManager(*args, **kwargs)
        assert (m.vram_budget(), m.ram_budget(), m.swap_budget()) == budgets

    def test_tier_stats_of_new_manager(self):
        assert TieredMemoryManager().tier_stats() == [
            ("Vram", 0, 0, 0.0),
            ("Ram", 0, DEFAULT_RAM, 0.0),
            ("Swap", 0, DEFAULT_SWAP, 0.0),
            ("Disk", 0, U64_MAX, 0.0),
        ]

    def test_tier_stats_returns_a_new_list_each_call(self):
        m = TieredMemoryManager()
        first = m.tier_stats()
        first.clear()
        assert len(m.tier_stats()) == 4


class TestSchedulerAndProfile:
    def test_scheduler_lists_one_cpu_backend(self):
        s = Scheduler()
        assert s.backend_count() == 1
        [(name, kind)] = s.backend_info()
        assert kind == "CPU"
        assert name.startswith("CPU (") and name.endswith(" threads)")
        assert int(name[5:-9]) >= 1

    def test_backend_info_is_a_fresh_list(self):
        s = Scheduler()
        s.backend_info().append("x")
        assert len(s.backend_info()) == 1

    def test_hardware_profile_is_generic(self):
        p = HardwareProfile()
        assert (p.is_gpu(), p.is_apu(), repr(p)) == (False, False, "Generic")

    def test_engine_reports_its_backends(self):
        assert InferenceEngine().backend_count() == 1
        assert InferenceEngine(vram_budget=8, ram_budget=U64_MAX).backend_count() == 1
