"""The module's face: its functions, their argument rules and error shapes."""

import pathlib

import pytest

import quastor

FUNCTIONS = {
    "extract_zip": ("archive_path", "dest_path"),
    "extract_zip_bytes": ("archive_bytes", "dest_path"),
    "create_zip": ("source_path", "archive_path"),
    "preflight_zip": ("archive_path",),
    "preflight_zip_bytes": ("archive_bytes",),
}


class TestModule:
    def test_all_lists_the_five_functions_in_order(self):
        assert quastor.__all__ == list(FUNCTIONS)

    def test_module_doc_is_empty_not_absent(self):
        assert quastor.__doc__ == ""

    @pytest.mark.parametrize("name,params", FUNCTIONS.items())
    def test_signature_name_and_module(self, name, params):
        function = getattr(quastor, name)
        assert function.__name__ == name
        assert function.__module__ == "quastor"
        assert function.__text_signature__ == "(" + ", ".join(params) + ")"
        assert not function.__doc__


class TestArgumentMatching:
    @pytest.mark.parametrize(
        "call,message",
        [
            (lambda: quastor.extract_zip("a.zip"), "extract_zip() missing 1 required positional argument: 'dest_path'"),
            (lambda: quastor.extract_zip(), "extract_zip() missing 2 required positional arguments: 'archive_path' and 'dest_path'"),
            (lambda: quastor.extract_zip(dest_path="o"), "extract_zip() missing 1 required positional argument: 'archive_path'"),
            (lambda: quastor.preflight_zip_bytes(), "preflight_zip_bytes() missing 1 required positional argument: 'archive_bytes'"),
            (lambda: quastor.create_zip("src", "a.zip", "x"), "create_zip() takes 2 positional arguments but 3 were given"),
            (lambda: quastor.preflight_zip("a", "b"), "preflight_zip() takes 1 positional arguments but 2 were given"),
            (lambda: quastor.extract_zip("a.zip", "out", archive_path="b.zip"), "extract_zip() got multiple values for argument 'archive_path'"),
            (lambda: quastor.extract_zip("a.zip", "out", mode=1), "extract_zip() got an unexpected keyword argument 'mode'"),
            # The first offending keyword in call order decides.
            (lambda: quastor.extract_zip("a", mode=1, archive_path="b"), "extract_zip() got an unexpected keyword argument 'mode'"),
            (lambda: quastor.extract_zip("a", archive_path="b", mode=1), "extract_zip() got multiple values for argument 'archive_path'"),
        ],
    )
    def test_matching_errors(self, call, message):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == message

    def test_keywords_and_positions_are_equivalent(self, tmp_path):
        missing = str(tmp_path / "missing.zip")
        texts = set()
        for call in (
            lambda: quastor.extract_zip(missing, str(tmp_path / "o")),
            lambda: quastor.extract_zip(missing, dest_path=str(tmp_path / "o")),
            lambda: quastor.extract_zip(archive_path=missing, dest_path=str(tmp_path / "o")),
            lambda: quastor.extract_zip(dest_path=str(tmp_path / "o"), archive_path=missing),
        ):
            with pytest.raises(RuntimeError) as caught:
                call()
            texts.add(str(caught.value))
        assert texts == {"Extraction failed: I/O error: No such file or directory (os error 2)"}


class TestArgumentConversion:
    @pytest.mark.parametrize(
        "call,message",
        [
            (lambda: quastor.preflight_zip(pathlib.Path("a.zip")), "argument 'archive_path': 'PosixPath' object is not an instance of 'str'"),
            (lambda: quastor.preflight_zip(b"a.zip"), "argument 'archive_path': 'bytes' object is not an instance of 'str'"),
            (lambda: quastor.extract_zip_bytes(bytearray(b"PK"), "out"), "argument 'archive_bytes': 'bytearray' object is not an instance of 'bytes'"),
            (lambda: quastor.preflight_zip_bytes(memoryview(b"PK")), "argument 'archive_bytes': 'memoryview' object is not an instance of 'bytes'"),
            (lambda: quastor.extract_zip(None, "out"), "argument 'archive_path': 'None' is not an instance of 'str'"),
            (lambda: quastor.preflight_zip_bytes(None), "argument 'archive_bytes': 'None' is not an instance of 'bytes'"),
            (lambda: quastor.create_zip(1, 2), "argument 'source_path': 'int' object is not an instance of 'str'"),
            (lambda: quastor.extract_zip("a.zip", 3.5), "argument 'dest_path': 'float' object is not an instance of 'str'"),
        ],
    )
    def test_wrong_types(self, call, message):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == message

    def test_nested_type_reports_qualified_name(self):
        class Outer:
            class Inner:
                pass

        with pytest.raises(TypeError, match=r"'TestArgumentConversion\.test_nested_type_reports_qualified_name\.<locals>\.Outer\.Inner' object"):
            quastor.preflight_zip(Outer.Inner())

    def test_lone_surrogate_raises_unicode_encode_error_unchanged(self):
        with pytest.raises(UnicodeEncodeError):
            quastor.preflight_zip("\udc80.zip")

    def test_str_and_bytes_subclasses_are_accepted_by_their_own_value(self):
        class Path(str):
            def __str__(self):
                return "elsewhere"

        class Data(bytes):
            pass

        with pytest.raises(RuntimeError, match=r"No such file or directory"):
            quastor.preflight_zip(Path("/nonexistent/a.zip"))
        assert quastor.preflight_zip_bytes(Data(EMPTY_ARCHIVE)) == []


EMPTY_ARCHIVE = b"PK\x05\x06" + bytes(18)


class TestFailureShape:
    def test_runtime_error_carries_one_text(self):
        with pytest.raises(RuntimeError) as caught:
            quastor.preflight_zip_bytes(b"")
        assert caught.type is RuntimeError
        assert caught.value.args == ("Preflight failed: Invalid ZIP format: File too short to be a ZIP file",)

    def test_eocd_missing(self):
        with pytest.raises(RuntimeError) as caught:
            quastor.preflight_zip_bytes(bytes(22))
        assert str(caught.value) == "Preflight failed: Invalid ZIP format: EOCD signature not found"

    @pytest.mark.parametrize(
        "call,prefix",
        [
            (lambda d: quastor.preflight_zip(d + "/a\0b.zip"), "Preflight failed: "),
            (lambda d: quastor.extract_zip(d + "/a\0b.zip", d), "Extraction failed: "),
            (lambda d: quastor.create_zip(d + "/src\0x", d + "/a.zip"), "Archive creation failed: "),
        ],
    )
    def test_nul_in_path_never_reaches_the_kernel(self, tmp_path, call, prefix):
        # "a" exists: a C call cut short at the NUL would find it.
        (tmp_path / "a").write_bytes(b"x")
        with pytest.raises(RuntimeError) as caught:
            call(str(tmp_path))
        assert str(caught.value) == prefix + "I/O error: file name contained an unexpected NUL byte"

    def test_directory_as_archive_is_an_io_error(self, tmp_path):
        with pytest.raises(RuntimeError, match=r"^Preflight failed: I/O error: .* \(os error \d+\)$"):
            quastor.preflight_zip(str(tmp_path))
