"""What the binding's tests share: one platform for the process (the SDK has
one), and `quorvex collect` run as a child process, whose printed hits are
read back field by field.

QUORVEX_TOOL names the quorvex tool (scripts/test sets it, with
QUORVEX_LIBRARY and PYTHONPATH).
"""

from __future__ import annotations

import atexit
import os
import re
import shutil
import subprocess
import tempfile
from typing import Dict, List, Optional

import quorvex

_platform_directory: Optional[str] = None


def install_platform_once() -> str:
    """The process's platform, on a data directory of its own; its path."""
    global _platform_directory
    if _platform_directory is None:
        os.environ["no_proxy"] = os.environ["NO_PROXY"] = "127.0.0.1"
        _platform_directory = tempfile.mkdtemp(prefix="quorvex-python-")
        atexit.register(shutil.rmtree, _platform_directory, True)
        quorvex.install_platform(_platform_directory, "com.example.python", locale="fr_FR",
                                 info={"CFBundleShortVersionString": "2.3.0"},
                                 screen=(390, 844))
    return _platform_directory


Hit = Dict[str, str]


class Collector:
    """`quorvex collect` answering `status`, exiting after `hits` hits."""

    def __init__(self, hits: int, status: int = 200) -> None:
        tool = os.environ["QUORVEX_TOOL"]
        self._process = subprocess.Popen(
            [tool, "collect", "--port", "0", "--count", str(hits), "--status", str(status)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        announcement = self._process.stderr.readline().decode()
        match = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", announcement)
        if match is None:
            self._process.kill()
            raise RuntimeError(f"quorvex collect said {announcement!r}")
        self.url = f"http://127.0.0.1:{match.group(1)}/7/"

    def hits(self, timeout: float = 20.0) -> List[Hit]:
        """The hits, once the collector has had them all and exited."""
        output, _ = self._process.communicate(timeout=timeout)
        hits: List[Hit] = []
        for line in output.decode("utf-8", "replace").splitlines():
            if line.startswith("--- hit "):
                hits.append({})
            elif hits and "=" in line:
                name, value = line.split("=", 1)
                hits[-1][name] = value
        return hits

    def close(self) -> None:
        if self._process.poll() is None:
            self._process.kill()
            self._process.communicate()

    def __enter__(self) -> "Collector":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()
