"""Where the decoding time goes: perf samples of streaming and of RawReader.

The installed module is stripped; the one in the build folder that pip
used (build/py-<wheel tag>) still has its symbols, so perf runs a copy of
that one. Skipped when perf cannot count on this machine.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

from .common import ROOT

LINE = re.compile(r"^\s*([\d.]+)%\s+\[(.)\]\s+(.+?)(?:\s+-\s+-)?\s*$")
PROGRAMS = {
    "stream": "import velorium\nfor s in velorium.iter_spectra({path!r}): pass\n",
    "rawreader": "import velorium\nvelorium.RawReader({path!r})\n",
}


def short_name(symbol: str) -> str:
    symbol = symbol.replace("(anonymous namespace)::", "")
    symbol = re.sub(r"^velorium::(raw::)?", "", symbol)
    return symbol


def parse_report(text: str) -> dict:
    user: dict[str, float] = {}
    kernel = other = 0.0
    for line in text.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        share, space, symbol = float(m.group(1)), m.group(2), m.group(3)
        if space == "k":
            kernel += share
        elif symbol.startswith("0x") or not symbol.startswith(("velorium::", "lumora::")):
            other += share
        else:
            name = short_name(symbol)
            user[name] = user.get(name, 0.0) + share
    return {"functions": dict(sorted(user.items(), key=lambda kv: -kv[1])), "kernel": kernel, "other": other}


def run(path: str) -> dict:
    perf = shutil.which("perf")
    if perf is None:
        return {"available": False, "reason": "perf is not installed"}
    if subprocess.run([perf, "stat", "-e", "task-clock", "true"], capture_output=True).returncode != 0:
        return {"available": False, "reason": "perf cannot sample here"}
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    built = sorted(ROOT.glob(f"build/py-*/python/velorium/__init__{suffix}"), key=lambda p: p.stat().st_mtime)
    if not built:
        return {"available": False, "reason": f"no unstripped velorium/__init__{suffix} in build/py-*"}
    out: dict = {"available": True, "module": str(built[-1].relative_to(ROOT))}
    with tempfile.TemporaryDirectory() as tmp:
        (Path(tmp) / "velorium").mkdir()
        shutil.copy2(built[-1], Path(tmp) / "velorium" / built[-1].name)
        for name, program in PROGRAMS.items():
            data = Path(tmp) / f"{name}.data"
            rec = subprocess.run([perf, "record", "-F", "2000", "-o", str(data), "--", sys.executable, "-c",
                                  program.format(path=path)], capture_output=True, text=True,
                                 env={"PYTHONPATH": tmp, "PATH": "/usr/bin:/bin"})
            if rec.returncode != 0:
                return {"available": False, "reason": f"perf record failed: {rec.stderr.strip()[-300:]}"}
            rep = subprocess.run([perf, "report", "-i", str(data), "--stdio", "--no-children", "--sort", "symbol",
                                  "--percent-limit", "0.3"], capture_output=True, text=True)
            out[name] = parse_report(rep.stdout)
    return out
