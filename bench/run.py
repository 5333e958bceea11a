"""Runs every benchmark script of this folder (bench_*.py) and prints their tables.

Usage: python bench/run.py [name ...]   (names without the bench_ prefix)
"""

import glob
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def main(names):
    scripts = sorted(glob.glob(os.path.join(HERE, "bench_*.py")))
    scripts.sort(key=lambda p: (os.path.basename(p) != "bench_interop.py", p))
    if names:
        scripts = [s for s in scripts if os.path.basename(s)[6:-3] in names]
    failed = 0
    for script in scripts:
        print(f"== {os.path.basename(script)}", flush=True)
        rc = subprocess.call([sys.executable, script])
        failed += rc != 0
        print(flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
