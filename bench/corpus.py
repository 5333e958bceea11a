"""Where the benchmarks find the OpenQASM corpus.

A script takes the corpus folder (the one holding supported/) as --corpus;
without it, the corpus beside the repository is used:
<repo>/../shared/corpus/qasmbench, where <repo> is this checkout or, for a git
worktree, the main checkout.
"""

import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def default_corpus():
    roots = [ROOT]
    try:
        common = subprocess.run(
            ["git", "-C", ROOT, "rev-parse", "--path-format=absolute", "--git-common-dir"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        roots.append(os.path.dirname(common))
    except (OSError, subprocess.CalledProcessError):
        pass
    paths = [os.path.normpath(os.path.join(r, os.pardir, "shared", "corpus", "qasmbench")) for r in roots]
    return next((p for p in paths if os.path.isdir(p)), paths[0])


def add_corpus_argument(parser):
    parser.add_argument(
        "--corpus",
        default=None,
        help="the qasmbench folder, holding supported/ (default: <repo>/../shared/corpus/qasmbench)",
    )


def supported_program(corpus, name):
    """The path of a program of the corpus's supported/ folder."""
    return os.path.join(corpus or default_corpus(), "supported", name)
