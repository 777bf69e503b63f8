"""Puts each fault of faults.txt alone into a scratch copy of the project,
rebuilds it incrementally and runs the C++ suite, then the Python suite,
both stopping at the first failure; a fault is killed when either fails.

    python tests/mutants/run.py [NAME-OR-INDEX ...]
    python tests/mutants/run.py --stale

`--stale` only reads the sources and lists the faults whose original text
is not found exactly once, in seconds: run it after moving code.

With names or 1-based indexes, only those faults run. The scratch copy, its
one build tree (module, command and C++ tests) and an environment whose
`quastor` command is the built one live under build/mutants. The exit
status is 0 only when every fault selected was killed; a fault whose
original text is no longer in its file is reported as stale.
"""

from __future__ import annotations

import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import time
from dataclasses import dataclass

ROOT = pathlib.Path(__file__).resolve().parents[2]
WORK = ROOT / "build" / "mutants"
TREE = WORK / "tree"
BUILD = WORK / "build"
ENV = WORK / "env"
FAULTS = pathlib.Path(__file__).with_name("faults.txt")
SEPARATOR = " ## "
JOBS = str(os.cpu_count() or 2)
# A fault may make a test hang: each C++ test, and the Python suite as a
# whole, is given up on after these many seconds and the fault counted as
# killed by the timeout.
CPP_TIMEOUT = 120
PYTHON_TIMEOUT = 300


@dataclass
class Fault:
    index: int
    name: str
    path: str
    original: str
    replacement: str
    breaks: str


def read_faults() -> list[Fault]:
    faults = []
    for number, line in enumerate(FAULTS.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split(SEPARATOR)
        if len(fields) != 5:
            sys.exit(f"{FAULTS.name}:{number}: expected name, file, original, replacement, what it breaks")
        name, path, original, replacement, breaks = (f.strip() for f in fields)
        # "\n" in a text stands for a line break.
        faults.append(Fault(len(faults) + 1, name, path, original.replace("\\n", "\n"),
                            replacement.replace("\\n", "\n"), breaks))
    names = [f.name for f in faults]
    if len(set(names)) != len(names):
        sys.exit(f"{FAULTS.name}: fault names must be unique")
    return faults


def run(command: list[str], timeout: float | None = None, env: dict[str, str] | None = None,
        cwd: pathlib.Path | None = None) -> tuple[int | None, str]:
    """Output and status of `command`; None as status when it timed out, its
    whole process group then killed."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               errors="replace", env=env, cwd=cwd, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output


def project_files() -> list[str]:
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=ROOT, capture_output=True, check=True).stdout.decode().split("\0")
    return [f for f in listed if f and (ROOT / f).is_file()]


def sync_tree() -> None:
    """Copies the project into the scratch tree, rewriting only files whose
    bytes differ so that the build tree stays incremental."""
    wanted = set(project_files())
    for relative in wanted:
        source, target = ROOT / relative, TREE / relative
        data = source.read_bytes()
        if target.is_file() and target.read_bytes() == data:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        shutil.copymode(source, target)
    for target in list(TREE.rglob("*")):
        if target.is_file() and target.relative_to(TREE).as_posix() not in wanted:
            target.unlink()


def prepare_environment(python: str) -> dict[str, str]:
    """An environment that sees the test tools of `python`, the built module
    first, the stubs as installed ones, and the built command as the
    installed `quastor` (with the project's version as its metadata)."""
    if not (ENV / "bin" / "python").exists():
        subprocess.run([python, "-m", "venv", "--without-pip", str(ENV)], check=True)
    probe = "import sysconfig; print(sysconfig.get_path('purelib'))"
    tools = subprocess.run([python, "-c", probe], capture_output=True, text=True, check=True).stdout.strip()
    site = pathlib.Path(subprocess.run([str(ENV / "bin" / "python"), "-c", probe], capture_output=True,
                                       text=True, check=True).stdout.strip())
    site.mkdir(parents=True, exist_ok=True)
    (site / "project-tools.pth").write_text(tools + "\n")
    version = re.search(r'^version = "([^"]*)"', (ROOT / "pyproject.toml").read_text(), re.M).group(1)
    metadata = site / f"quastor-{version}.dist-info"
    for stale in site.glob("quastor-*.dist-info"):
        if stale != metadata:
            shutil.rmtree(stale)
    metadata.mkdir(exist_ok=True)
    (metadata / "METADATA").write_text(f"Metadata-Version: 2.1\nName: quastor\nVersion: {version}\n")
    command = ENV / "bin" / "quastor"
    if command.is_symlink() or command.exists():
        command.unlink()
    command.symlink_to(BUILD / "quastor")
    env = dict(os.environ)
    env["PYTHONPATH"] = f"{BUILD}{os.pathsep}{TREE / 'stubs'}"
    env["PATH"] = f"{ENV / 'bin'}{os.pathsep}{env['PATH']}"
    env.pop("PYTHONHOME", None)
    return env


def configure(python: str) -> None:
    if (BUILD / "build.ninja").exists():
        return
    cmake = shutil.which("cmake", path=str(pathlib.Path(python).parent)) or "cmake"
    status, output = run([cmake, "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja", "-DQUASTOR_PYTHON=ON",
                          "-DQUASTOR_CLI=ON", "-DQUASTOR_TESTS=ON", f"-DPython_EXECUTABLE={python}",
                          # Each fault rebuilds: compile time counts more than speed.
                          "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS_RELEASE=-O1"])
    if status != 0:
        sys.exit(output)


def build() -> tuple[bool, str]:
    cmake = shutil.which("cmake", path=str(pathlib.Path(sys.executable).parent)) or "cmake"
    status, output = run([cmake, "--build", str(BUILD), "-j", JOBS])
    return status == 0, output


def cpp_suite() -> str | None:
    """None when every C++ test passes, else the test that failed first."""
    ctest = shutil.which("ctest", path=str(pathlib.Path(sys.executable).parent)) or "ctest"
    status, output = run([ctest, "--test-dir", str(BUILD), "-j", JOBS, "--stop-on-failure",
                          "--timeout", str(CPP_TIMEOUT)])
    if status == 0:
        return None
    failed = re.findall(r"^\s*\d+ - (\S+) \((.*?)\)", output, re.M)
    return "{} ({})".format(*failed[0]) if failed else "ctest: " + output.strip().splitlines()[-1]


def python_suite(python: str, env: dict[str, str]) -> str | None:
    status, output = run([python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", str(TREE / "tests/python")],
                         timeout=PYTHON_TIMEOUT, env=env, cwd=TREE)
    if status is None:
        return "pytest (timed out)"
    if status == 0:
        return None
    failed = re.findall(r"^(?:FAILED|ERROR) (\S+)", output, re.M)
    return failed[0] if failed else "pytest: " + output.strip().splitlines()[-1]


def catch(python: str, env: dict[str, str]) -> str | None:
    return cpp_suite() or python_suite(python, env)


def select(faults: list[Fault], wanted: list[str]) -> list[Fault]:
    if not wanted:
        return faults
    chosen = []
    for word in wanted:
        match = [f for f in faults if f.name == word or str(f.index) == word]
        if not match:
            sys.exit(f"no fault named or numbered {word!r}")
        chosen += match
    return chosen


def stale_faults(faults: list[Fault]) -> int:
    """Lists every fault whose original text is missing or ambiguous in the
    working tree; 0 when there is none."""
    stale = [f for f in faults
             if not (ROOT / f.path).is_file() or (ROOT / f.path).read_text().count(f.original) != 1]
    for fault in stale:
        print(f"[{fault.index:2}] {fault.name}: STALE in {fault.path}")
    print(f"{len(stale)} of {len(faults)} faults stale")
    return 1 if stale else 0


def main() -> int:
    if sys.argv[1:] == ["--stale"]:
        return stale_faults(read_faults())
    python = str(ENV / "bin" / "python")
    tools_python = sys.executable
    # cmake, ninja and ctest may come with the interpreter's packages.
    os.environ["PATH"] = f"{pathlib.Path(tools_python).parent}{os.pathsep}{os.environ['PATH']}"
    faults = select(read_faults(), sys.argv[1:])
    started = time.monotonic()
    TREE.mkdir(parents=True, exist_ok=True)
    sync_tree()
    env = prepare_environment(tools_python)
    configure(tools_python)
    built, output = build()
    if not built:
        print("\n".join(line for line in output.splitlines() if "error" in line or "FAILED" in line))
        print("the unchanged project does not build")
        return 1
    baseline = catch(python, env)
    if baseline is not None:
        print(f"the unchanged project fails {baseline}: fix that first")
        return 1
    print(f"baseline passes ({time.monotonic() - started:.0f} s); {len(faults)} faults")

    outcomes: dict[str, list[Fault]] = {"killed": [], "survived": [], "stale": [], "unbuildable": []}
    for fault in faults:
        began = time.monotonic()
        target = TREE / fault.path
        original = target.read_text() if target.is_file() else ""
        count = original.count(fault.original)
        label = f"[{fault.index:2}] {fault.name}"
        if count != 1:
            outcomes["stale"].append(fault)
            why = "original text not found" if count == 0 else f"original text found {count} times"
            print(f"{label}: STALE ({why} in {fault.path})", flush=True)
            continue
        try:
            target.write_text(original.replace(fault.original, fault.replacement))
            built, output = build()
            caught = catch(python, env) if built else None
        finally:
            target.write_text(original)
        seconds = time.monotonic() - began
        if not built:
            outcomes["unbuildable"].append(fault)
            error = next((line for line in output.splitlines() if "error" in line), "")
            print(f"{label}: UNBUILDABLE ({error.strip()})", flush=True)
        elif caught:
            outcomes["killed"].append(fault)
            print(f"{label}: killed by {caught} ({seconds:.0f} s)", flush=True)
        else:
            outcomes["survived"].append(fault)
            print(f"{label}: SURVIVED: {fault.breaks} ({fault.path}) ({seconds:.0f} s)", flush=True)
    build()  # leaves the tree built as the project is

    judged = len(outcomes["killed"]) + len(outcomes["survived"])
    print()
    print(", ".join(f"{len(v)} {k}" for k, v in outcomes.items()) + f" in {time.monotonic() - started:.0f} s")
    if judged:
        print(f"kill rate: {len(outcomes['killed'])}/{judged} = {100 * len(outcomes['killed']) / judged:.1f} %")
    return 0 if len(outcomes["killed"]) == len(faults) else 1


if __name__ == "__main__":
    sys.exit(main())
