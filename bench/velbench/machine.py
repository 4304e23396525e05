"""What the benchmarks ran on."""

from __future__ import annotations

import os
import platform
import subprocess
import time
from pathlib import Path


def _first_line(cmd: list[str]) -> str:
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=30).stdout
    except (OSError, subprocess.SubprocessError):
        return "not found"
    return out.strip().splitlines()[0] if out.strip() else "not found"


def _cpuinfo(key: str) -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.split(":", 1)[0].strip() == key:
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def _meminfo_bytes(key: str) -> int | None:
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    except (OSError, ValueError):
        pass
    return None


def _os_name() -> str:
    try:
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                return line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return platform.system()


def _deb_version(package: str) -> str:
    return _first_line(["dpkg-query", "-W", "-f=${Version}", package])


def describe(pythons: list[str]) -> dict:
    versions = {}
    for py in pythons:
        versions[py] = _first_line([py, "-c", "import sys; print(sys.version.replace(chr(10), ' '))"])
    thp = Path("/sys/kernel/mm/transparent_hugepage/enabled")
    return {
        "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
        "cpu": _cpuinfo("model name"),
        "cores": os.cpu_count(),
        "cores_usable": len(os.sched_getaffinity(0)),
        "memory_bytes": _meminfo_bytes("MemTotal"),
        "os": _os_name(),
        "kernel": platform.release(),
        "machine": platform.machine(),
        "compiler": _first_line(["g++", "--version"]),
        "cmake": _first_line(["cmake", "--version"]),
        "glibc": platform.libc_ver()[1],
        "transparent_hugepages": thp.read_text().strip() if thp.is_file() else "unknown",
        "pythons": versions,
        "debian_packages": {p: _deb_version(p) for p in ("liblzf1", "libbenchmark-dev", "libpugixml-dev")},
        "load_average": os.getloadavg(),
    }
