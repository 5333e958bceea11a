import os
import sys

# The tests run against the installed package (pip install .) or a dev build
# (tools/devbuild.sh, then PYTHONPATH=build/dev/pkg).  Make sure the source
# tree's bare Python files never shadow the built package.
_src = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != _src]

# Tests import helpers (oracle) from this folder.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
