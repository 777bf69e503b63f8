"""Create, preflight, extract: any small tree comes back as it was, with its
files' bytes and permission bits, its empty directories and its link targets."""

import os
import pathlib
import tempfile

from hypothesis import given, settings
from hypothesis import strategies as st

import quastor
from trees import snapshot

NAME = st.text(alphabet="abcXYZ019._- \u00e9\u4e2d", min_size=1, max_size=8).filter(lambda n: n not in (".", ".."))
CONTENT = st.one_of(
    st.binary(max_size=200),
    # Repetitive content, long enough to be deflated.
    st.builds(lambda unit, count: unit * count, st.binary(min_size=1, max_size=8), st.integers(8, 2000)),
)
FILE = st.tuples(st.just("file"), CONTENT, st.sampled_from([0o600, 0o644, 0o755, 0o700, 0o444, 0o640]))
LINK = st.tuples(st.just("link"), st.text(alphabet="ab./\u00e9", min_size=1, max_size=12))
TREE = st.recursive(
    st.dictionaries(NAME, st.one_of(FILE, LINK), max_size=5),
    lambda children: st.dictionaries(NAME, st.one_of(FILE, LINK, children), max_size=5),
    max_leaves=20,
)


def build(root: pathlib.Path, tree: dict) -> None:
    root.mkdir()
    for name, item in tree.items():
        path = root / name
        if isinstance(item, dict):
            build(path, item)
        elif item[0] == "file":
            path.write_bytes(item[1])
            os.chmod(path, item[2])
        else:
            os.symlink(item[1], path)




class TestRoundTrip:
    @settings(max_examples=40, deadline=None)
    @given(tree=TREE)
    def test_a_tree_survives_create_preflight_extract(self, tree):
        with tempfile.TemporaryDirectory() as work:
            work = pathlib.Path(work)
            build(work / "src", tree)
            archive = work / "out.zip"
            quastor.create_zip(str(work / "src"), str(archive))

            expected = snapshot(work / "src")
            report = quastor.preflight_zip(str(archive))
            assert {e["path"]: e["is_dir"] for e in report} == {
                key: kind[0] == "dir" for key, kind in expected.items()}
            for entry in report:
                item = expected[entry["path"]]
                assert entry["is_symlink"] == (item[0] == "link")
                if item[0] == "file":
                    assert entry["file_size"] == len(item[1])

            quastor.extract_zip(str(archive), str(work / "out"))
            assert snapshot(work / "out") == expected
            # The same tree gives the same bytes again.
            quastor.create_zip(str(work / "src"), str(work / "again.zip"))
            assert (work / "again.zip").read_bytes() == archive.read_bytes()
