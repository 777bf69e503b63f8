"""Comparable snapshots of directory trees for the tests."""

import os
import pathlib
import stat


def snapshot(root, *, modes: bool = True, links: bool = True) -> dict:
    """Every item below root, by relative path: ('dir',), ('file', bytes, mode)
    or ('link', target). Without `links`, a link reads as a file holding its
    target; without `modes`, file modes are None."""
    items: dict[str, tuple] = {}
    root = pathlib.Path(root)
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = pathlib.Path(dirpath) / name
            key = str(path.relative_to(root))
            info = path.lstat()
            if stat.S_ISLNK(info.st_mode):
                target = os.readlink(path)
                items[key] = ("link", target) if links else ("file", target.encode(), None)
            elif stat.S_ISDIR(info.st_mode):
                items[key] = ("dir",)
            else:
                items[key] = ("file", path.read_bytes(), stat.S_IMODE(info.st_mode) if modes else None)
    return items
