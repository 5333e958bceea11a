"""vexal.circuit: a quantum-circuit transpiler."""

import os as _os

# VEXAL_REFERENCE_PATHS=1 makes every pass take its reference path (the
# composition of its methods) instead of its fast path; the results
# are the same either way.  Read here, once, when the package is imported;
# tests may set the attribute itself.
_reference_paths = _os.environ.get("VEXAL_REFERENCE_PATHS", "") == "1"

# The way each pass's last run went: pass name -> (path, reason), path
# "fast", "DAG tier" (the passes that have one) or
# "reference", reason why the fast path was declined ("" when it was taken).
# Written by the passes; read by tests.
_paths = {}
