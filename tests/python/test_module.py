import re
import subprocess
import sys

# The import runs under strace between two marker opens; what it opens in
# between may only be the importer's and the dynamic loader's reads: the
# module's own files, folders the importer lists, shared libraries and the
# loader's cache.
PROGRAM = """
def mark(name):
    try:
        open("/nonexistent/velorium-test/" + name)
    except OSError:
        pass
mark("begin")
import velorium
mark("end")
assert velorium.__name__ == "velorium" and velorium.__doc__ is None
"""
OPEN = re.compile(r'^\d+\s+(?:open|openat|openat2|creat)\((?:AT_FDCWD, )?"([^"]*)", ([A-Z_|]+)')
LOADER = re.compile(r"(\.so(\.\d+)*|\.py|\.pyc|/ld\.so\.cache)$")


def test_module_imports_without_touching_files(tmp_path):
    log = tmp_path / "strace.txt"
    done = subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat,openat2,creat", "-o", str(log),
                           sys.executable, "-c", PROGRAM], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    opens = [m.groups() for m in map(OPEN.match, log.read_text().splitlines()) if m]
    paths = [path for path, _ in opens]
    begin, end = paths.index("/nonexistent/velorium-test/begin"), paths.index("/nonexistent/velorium-test/end")
    during = opens[begin + 1:end]
    assert any("velorium" in path for path, _ in during)  # the module itself was loaded in between
    touched = [(path, flags) for path, flags in during
               if re.search(r"O_WRONLY|O_RDWR|O_CREAT", flags) or not ("O_DIRECTORY" in flags or LOADER.search(path))]
    assert touched == []
