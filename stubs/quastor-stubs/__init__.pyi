"""Safe, parallel creation, checking and extraction of ZIP archives.

Every function runs to completion on the calling thread and holds the
interpreter lock for the whole call: other Python threads do not run
meanwhile, and calls from several threads run one after another. The work
itself runs on worker threads that never touch Python objects.

Every failure of the operation is a RuntimeError whose text is a fixed
prefix ("Extraction failed: ", "Preflight failed: " or "Archive creation
failed: ") followed by the reason. A wrong number or kind of argument is a
TypeError: paths must be str (os.PathLike objects are refused) and archive
bytes must be bytes (bytearray and memoryview are refused).
"""

from typing import TypedDict, type_check_only

__all__ = ["extract_zip", "extract_zip_bytes", "create_zip", "preflight_zip", "preflight_zip_bytes"]

@type_check_only
class PreflightEntry(TypedDict):
    """One archive entry as preflight reports it, in central-directory order."""

    archive_name: str
    """The name as stored in the archive (invalid UTF-8 shown as U+FFFD)."""
    path: str
    """Where it would be extracted: the normalised relative path, "/"-separated."""
    is_dir: bool
    is_symlink: bool
    file_size: int
    """Uncompressed size in bytes."""
    compress_size: int
    """Stored size in bytes."""
    compress_type: int
    """0 (stored) or 8 (DEFLATE) for files and links."""
    crc32: int
    """The CRC-32 recorded for the entry, as a non-negative integer."""
    external_attr: int
    """External attributes; the Unix mode is in the upper 16 bits."""

def extract_zip(archive_path: str, dest_path: str) -> None:
    """Extract the archive file at archive_path below dest_path.

    Every entry name, collision, local header and link target is checked
    before anything is written; a refused archive leaves dest_path untouched.
    Failures raise RuntimeError("Extraction failed: ...").
    """

def extract_zip_bytes(archive_bytes: bytes, dest_path: str) -> None:
    """Extract an archive held in memory below dest_path, as extract_zip does.

    The bytes are read in place, never copied. Failures raise
    RuntimeError("Extraction failed: ...").
    """

def create_zip(source_path: str, archive_path: str) -> None:
    """Write a ZIP archive of a file, a symbolic link or a directory tree.

    Entries come depth first, names sorted bytewise, stored or DEFLATE,
    dated 1 January 1980: the same tree gives the same bytes. Failures raise
    RuntimeError("Archive creation failed: ...").
    """

def preflight_zip(archive_path: str) -> list[PreflightEntry]:
    """Run every check that extraction runs, write nothing, report each entry.

    File data is not decoded: a corrupt file entry passes preflight and
    fails extraction. Failures raise RuntimeError("Preflight failed: ...").
    """

def preflight_zip_bytes(archive_bytes: bytes) -> list[PreflightEntry]:
    """Preflight an archive held in memory, as preflight_zip does.

    Failures raise RuntimeError("Preflight failed: ...").
    """
