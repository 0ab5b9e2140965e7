"""The compiled kernel objects: each instruction-set level's code stays in its own object.

A lower level holding one instruction of a higher level dies with SIGILL on CPUs without it, and a
CPU with that level never shows the fault, so this reads the machine code itself. Baseline objects
must not need AVX at all; only an object named for AVX-512 may touch its registers or masks; and a
kernel object defines nothing the linker could pick for another object (no weak symbols, one table).
"""

import pathlib
import platform
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
OBJECTS = ROOT / "build" / "skbuild" / "CMakeFiles"

pytestmark = pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"), reason="x86-64 instruction sets")

AVX512 = re.compile(r"%zmm|%[xy]mm(1[6-9]|2[0-9]|3[01])\b|\{%k[1-7]\}")
VEX = re.compile(r"%ymm|^\s*[0-9a-f]+:\s+v[a-z0-9]+\s", re.M)


def objects():
    """Objects of the sources that exist now (a build tree keeps those of deleted sources)."""
    if not OBJECTS.is_dir():
        pytest.fail(f"no build tree at {OBJECTS}: build with `make build` first")
    found = []
    for obj in OBJECTS.glob("*.dir/src/**/*.cpp.o"):  # the core, the binding kit and both modules
        source = obj.relative_to(OBJECTS)
        source = source.relative_to(source.parts[0]).with_suffix("")
        if (ROOT / source).exists():
            found.append((source.as_posix(), obj))
    assert {"src/compute/kernels_avx2.cpp", "src/compute/kernels_avx512.cpp"} <= {s for s, _ in found}
    return found


def disassembly(obj):
    if not shutil.which("objdump"):
        pytest.fail("objdump (binutils) is needed to read the kernel objects")
    return subprocess.run(["objdump", "-d", "--no-show-raw-insn", str(obj)], check=True, capture_output=True,
                          text=True).stdout


def test_each_level_uses_only_its_own_instructions():
    for source, obj in objects():
        code = disassembly(obj)
        if "avx512" not in source:
            assert not AVX512.search(code), f"{source}: AVX-512 registers or masks outside the AVX-512 object"
        if "avx2" not in source and "avx512" not in source:
            assert not VEX.search(code), f"{source}: AVX instructions in baseline code"
    [avx512] = [obj for source, obj in objects() if source == "src/compute/kernels_avx512.cpp"]
    assert AVX512.search(disassembly(avx512))


def test_kernel_objects_define_their_table_and_nothing_shared():
    levels = [(source, obj) for source, obj in objects() if re.fullmatch(r"src/compute/kernels_\w+\.cpp", source)]
    assert len(levels) == 3
    for source, obj in levels:
        symbols = subprocess.run(["nm", "--defined-only", str(obj)], check=True, capture_output=True,
                                 text=True).stdout.splitlines()
        exported = [line.split()[-1] for line in symbols if line.split()[1] in "TDRBWVuiG"]
        assert len(exported) == 1 and "Kernels" in exported[0], f"{source}: {exported}"


FUSED = re.compile(r"^\s*[0-9a-f]+:\s+vfn?m(add|sub)", re.M)
# Formats whose weight is d × q + m or d × q - m: their decode is the one fused multiply-add allowed.
DECODES_WITH_OFFSET = re.compile(r"::(Q4_1|Q5_1|Q4_K|Q2_K|Q5_K)(?!\w)")


def test_fused_multiply_adds_only_decode_weights():
    """A fused multiply-add in any product with an input or any running sum would round once where
    the other levels round twice. Only the weight decodes of the offset formats may use one."""
    for source, obj in objects():
        code = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", str(obj)], check=True,
                              capture_output=True, text=True).stdout
        for function in re.split(r"\n(?=[0-9a-f]+ <)", code):
            if not FUSED.search(function):
                continue
            name = function.split("\n", 1)[0]
            assert source in ("src/compute/kernels_avx2.cpp", "src/compute/kernels_avx512.cpp"), name
            # The dispatch function may hold inlined decoders; every other holder names its format.
            assert DECODES_WITH_OFFSET.search(name) or re.search(r"::packed_groups(_batch)?<[^<>]*>\(", name), name
