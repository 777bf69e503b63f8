"""The installed type information: mypy --strict accepts correct use of every
function and report key, and flags each kind of misuse on its own line."""

import textwrap

import pytest

mypy_api = pytest.importorskip("mypy.api")

GOOD = """
    import quastor

    quastor.create_zip("src", "a.zip")
    quastor.extract_zip(archive_path="a.zip", dest_path="out")
    quastor.extract_zip_bytes(b"PK", "out")
    entries: list[quastor.PreflightEntry] = quastor.preflight_zip("a.zip") + quastor.preflight_zip_bytes(b"")
    for e in entries:
        texts: tuple[str, str] = (e["archive_name"], e["path"])
        flags: tuple[bool, bool] = (e["is_dir"], e["is_symlink"])
        numbers: tuple[int, ...] = (e["file_size"], e["compress_size"], e["compress_type"], e["crc32"], e["external_attr"])
"""

# Each line that must be refused ends with "# bad".
BAD = """
    import pathlib
    import quastor

    quastor.preflight_zip(pathlib.Path("a.zip"))  # bad
    quastor.extract_zip_bytes(bytearray(b"PK"), "out")  # bad
    entry = quastor.preflight_zip("a.zip")[0]
    size: str = entry["file_size"]  # bad
    entry["mtime"]  # bad
"""


def test_mypy_accepts_use_and_flags_each_misuse(tmp_path):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    bad = textwrap.dedent(BAD)
    (tmp_path / "bad.py").write_text(bad)
    report, errors, _ = mypy_api.run(
        ["--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(tmp_path / "good.py"), str(tmp_path / "bad.py")]
    )
    assert not errors
    flagged = {int(line.split(":")[1]) for line in report.splitlines() if ": error:" in line and "bad.py" in line}
    expected = {n for n, line in enumerate(bad.splitlines(), 1) if line.endswith("# bad")}
    assert flagged == expected, report
    assert "good.py" not in report, report
