"""Entry names become safe relative paths or refuse the whole archive, with the
name shown in its quoted form."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quastor
from zipbuild import Entry, build_zip, file_entry

UNSAFE = "Preflight failed: Unsafe archive entry path: "


def preflight_name(name: str | bytes) -> quastor.PreflightEntry:
    return quastor.preflight_zip_bytes(build_zip([Entry(name, b"")]))[0]


def refusal(name: str | bytes) -> str:
    with pytest.raises(RuntimeError) as caught:
        quastor.preflight_zip_bytes(build_zip([Entry(name, b"")]))
    return str(caught.value)


ABSOLUTE = " resolves to an absolute path"
DRIVE = " starts with a Windows drive prefix"
PARENT = " contains a parent-directory segment"
NOTHING = " does not contain a writable relative path"
NUL = " contains a NUL byte"


class TestRefusedNames:
    def test_empty_name(self):
        assert refusal("") == UNSAFE + "Archive entry name cannot be empty"

    @pytest.mark.parametrize(
        "name,quoted,reason",
        [
            ("a\0b", r'"a\0b"', NUL),
            ("/a\0b", r'"/a\0b"', NUL),  # NUL is tested before the leading slash
            ("\0", r'"\0"', NUL),
            ("../\0", r'"../\0"', NUL),
            ("/etc/passwd", '"/etc/passwd"', ABSOLUTE),
            ("\\tmp", r'"\\tmp"', ABSOLUTE),
            ("//x", '"//x"', ABSOLUTE),
            ("/", '"/"', ABSOLUTE),
            ("/..", '"/.."', ABSOLUTE),
            ("C:/x", '"C:/x"', DRIVE),
            ("C:x", '"C:x"', DRIVE),
            ("c:", '"c:"', DRIVE),
            ("z:\\x", r'"z:\\x"', DRIVE),
            ("./C:/x", '"./C:/x"', DRIVE),
            (".//./C:", '".//./C:"', DRIVE),
            ("C:/..", '"C:/.."', DRIVE),
            ("../x", '"../x"', PARENT),
            ("a/../b", '"a/../b"', PARENT),
            ("a/..", '"a/.."', PARENT),
            ("./..", '"./.."', PARENT),
            ("../C:", '"../C:"', PARENT),
            ("..\\x", r'"..\\x"', PARENT),
            ("a\\..\\..\\b", r'"a\\..\\..\\b"', PARENT),
            ("a/b/../", '"a/b/../"', PARENT),
            (".", '"."', NOTHING),
            ("./", '"./"', NOTHING),
            ("./.", '"./."', NOTHING),
            ("./././", '"./././"', NOTHING),
            (".\\", r'".\\"', NOTHING),
        ],
    )
    def test_refusal_text(self, name, quoted, reason):
        assert refusal(name) == UNSAFE + quoted + reason

    @pytest.mark.parametrize(
        "name,quoted",
        [
            ('say "hi"/../x', r'"say \"hi\"/../x"'),
            ("it's/../x", "\"it's/../x\""),
            ("tab\there/../x", r'"tab\there/../x"'),
            ("cr\rlf\n/../x", r'"cr\rlf\n/../x"'),
            ("bell\x07/../x", r'"bell\u{7}/../x"'),
            ("del\x7f/../x", r'"del\u{7f}/../x"'),
            ("caf\u00e9/../x", '"caf\u00e9/../x"'),
            ("zw\u200b/../x", r'"zw\u{200b}/../x"'),
            (b"bad\xff/../x", '"bad\ufffd/../x"'),
        ],
    )
    def test_name_is_quoted_as_stored(self, name, quoted):
        assert refusal(name) == UNSAFE + quoted + PARENT

    def test_first_bad_entry_ends_the_archive(self):
        data = build_zip([file_entry("ok"), file_entry("../one"), file_entry("/two")])
        with pytest.raises(RuntimeError) as caught:
            quastor.preflight_zip_bytes(data)
        assert str(caught.value) == UNSAFE + '"../one"' + PARENT


class TestAcceptedNames:
    @pytest.mark.parametrize(
        "name,path,is_dir",
        [
            ("a/C:/x", "a/C:/x", False),
            ("C", "C", False),
            ("a//b/./c/", "a/b/c", True),
            ("./a", "a", False),
            ("a/", "a", True),
            ("a\\b", "a/b", False),
            ("a\\", "a", False),
            ("a/.", "a", False),
            ("...", "...", False),
            ("..a", "..a", False),
            (".a", ".a", False),
            ("a..", "a..", False),
            (" ", " ", False),
            ("x ", "x ", False),
            ("d/x:", "d/x:", False),
            ("d/x:y", "d/x:y", False),
            ("1:x", "1:x", False),
            ("\u00e9:x", "\u00e9:x", False),
            (":x", ":x", False),
            ("*?<>|", "*?<>|", False),
            ("ctl\x01\x1f", "ctl\x01\x1f", False),
            ("\ufffd", "\ufffd", False),
            ("a/b\\c//d/", "a/b/c/d", True),
            ("./x/./y/.", "x/y", False),
        ],
    )
    def test_normalised_path(self, name, path, is_dir):
        entry = preflight_name(name)
        assert entry["archive_name"] == name
        assert entry["path"] == path
        assert entry["is_dir"] is is_dir

    def test_no_length_limit(self):
        name = "/".join(["segment"] * 8000)
        assert len(name) < 65536
        assert preflight_name(name)["path"] == name

    def test_case_is_kept(self):
        assert preflight_name("ReadMe.TXT")["path"] == "ReadMe.TXT"


PIECES = st.one_of(
    st.sampled_from(["a", "B", ".", "..", "...", "C:", "z:", "x:y", " ", "\u00e9", "\ufffd", "\0"]),
    st.text(alphabet="ab.:\\/ \0\u00e9", max_size=4),
)
SEPARATORS = st.sampled_from(["", "/", "\\", "//", "/./"])
# Names stitched from awkward pieces and separators of both kinds.
NAMES = st.lists(st.tuples(PIECES, SEPARATORS), max_size=8).map(lambda pairs: "".join(p + s for p, s in pairs))


class TestProperties:
    @settings(max_examples=300, deadline=None)
    @given(NAMES, st.booleans())
    def test_accepted_paths_are_safe(self, name, leading_dot):
        name = ("./" if leading_dot else "") + name
        try:
            entry = preflight_name(name)
        except RuntimeError as error:
            assert str(error).startswith(UNSAFE)
            return
        path = entry["path"]
        assert path and not path.startswith("/") and not path.endswith("/")
        assert "\0" not in path and "\\" not in path
        for segment in path.split("/"):
            assert segment not in ("", ".", "..")
        assert entry["is_dir"] is name.endswith("/")
        # Nothing but separators and "." segments is ever dropped.
        assert path.replace("/", "") == "".join(
            s for s in name.replace("\\", "/").split("/") if s not in ("", ".")
        )

    @settings(max_examples=200, deadline=None)
    @given(st.text(min_size=1, max_size=12))
    def test_refusal_quotes_the_stored_name(self, name):
        try:
            preflight_name(name)
        except RuntimeError as error:
            text = str(error)
            assert text.startswith(UNSAFE + '"')
            assert text.endswith((NUL, ABSOLUTE, DRIVE, PARENT, NOTHING))
