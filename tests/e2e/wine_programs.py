"""The programs the end-to-end tests run under Wine: where the build put them, Wine's names for
Unix paths, and what launch.exe tells of a run."""

import dataclasses
import os
import shutil
import unittest
from pathlib import Path
from typing import Optional


def _build_dir() -> Path:
    value = os.environ.get("FAXJOB_BUILD_DIR")
    if not value:
        raise unittest.SkipTest("FAXJOB_BUILD_DIR is not set; run the end-to-end tests via ctest")
    return Path(value).resolve()


def _existing(path: Path, what: str) -> Path:
    if not path.is_file():
        raise FileNotFoundError(f"{what} not found at {path}; build the win32 preset first")
    return path


@dataclasses.dataclass(frozen=True)
class Artifacts:
    """The built programs the tests need."""

    build_dir: Path
    faxjob_exe: Path
    fax_library: Path
    launch_exe: Path
    hold_exe: Path
    setattr_exe: Path

    @classmethod
    def locate(cls) -> "Artifacts":
        build = _build_dir()
        tools = Path(os.environ.get("FAXJOB_TOOLS_DIR", build / "tests" / "tools"))
        return cls(
            build_dir=build,
            faxjob_exe=_existing(Path(os.environ.get("FAXJOB_EXE", build / "faxjob.exe")),
                                 "faxjob.exe"),
            fax_library=_existing(Path(os.environ.get("FAXJOB_FAX_LIBRARY",
                                                      build / "ZRQINT32.DLL")), "ZRQINT32.DLL"),
            launch_exe=_existing(tools / "launch.exe", "launch.exe"),
            hold_exe=_existing(tools / "hold.exe", "hold.exe"),
            setattr_exe=_existing(tools / "setattr.exe", "setattr.exe"),
        )


def wine_path(path) -> str:
    """The Windows name of a Unix path through Wine's Z: drive: /a/b -> Z:\\a\\b."""
    absolute = os.path.abspath(os.fspath(path))
    return "Z:" + absolute.replace("/", "\\")


def unix_path(windows_path: str) -> Path:
    """The Unix path of a Z: drive name: Z:\\a\\b -> /a/b."""
    if len(windows_path) < 2 or windows_path[:2].upper() != "Z:":
        raise ValueError(f"not a path on Wine's Z: drive: {windows_path!r}")
    return Path("/" + windows_path[2:].replace("\\", "/").lstrip("/"))


def wine_program() -> str:
    wine = shutil.which("wine")
    if wine is None:
        raise FileNotFoundError("wine is not on PATH")
    return wine


@dataclasses.dataclass(frozen=True)
class MessageBox:
    """A top-level window that the program showed, as launch.exe saw it before closing it."""

    window_class: str
    title: str
    text: str
    buttons: list  # of (id, text)
    icon: str  # "hand", "asterisk", "exclamation", "question", "none" or "unknown"


@dataclasses.dataclass(frozen=True)
class RunResult:
    exit_code: int
    windows: list  # of MessageBox, in the order they appeared
    elapsed: float  # seconds from process start to exit, as measured inside Wine
    killed: Optional[bool] = None  # ended by launch.exe's --kill-after-ms or --kill-at-size
    station_visible: Optional[bool] = None  # WSF_VISIBLE of the --invisible-desktop station

    @property
    def message_box(self) -> Optional[MessageBox]:
        return self.windows[0] if self.windows else None
