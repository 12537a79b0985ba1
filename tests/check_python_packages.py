"""Every Debian package that provides a Python module the tests or the
benchmark scripts load, directly or through another module, is named by
install-deps.sh in the group that folder needs: a module that arrives only
through a Recommends is missing on a fresh machine.

usage: check_python_packages.py REPO"""

import ast
import importlib
import os
import subprocess
import sys

# Folder of scripts: the install-deps.sh groups that must cover them.
FOLDERS = {"tests": ["demo", "test"], "bench": ["bench"]}
DIST_PACKAGES = "/usr/lib/python3/dist-packages/"


def own_modules(repo):
    """The repository's own modules: a bench script may load the tests' helpers."""
    return {name[:-3] for folder in FOLDERS for _, _, files in os.walk(os.path.join(repo, folder))
            for name in files if name.endswith(".py")}


def imported_names(folder, own):
    """Top-level module names the folder's scripts import, the repository's own modules left out."""
    names = set()
    for where, _, files in os.walk(folder):
        for name in files:
            if not name.endswith(".py"):
                continue
            with open(os.path.join(where, name), encoding="utf-8") as f:
                tree = ast.parse(f.read())
            for node in ast.walk(tree):
                if isinstance(node, ast.Import):
                    names.update(alias.name for alias in node.names)
                elif isinstance(node, ast.ImportFrom) and node.level == 0:
                    names.add(node.module)
    return {n for n in names if n.split(".")[0] not in own}


def modules_loaded_by(names):
    """Files, from Debian's Python packages, of every module the names load."""
    before = set(sys.modules)
    for name in sorted(names):
        try:
            importlib.import_module(name)
        except ImportError as e:
            sys.exit(f"cannot import {name}: {e} (is its package named in install-deps.sh?)")
    files = set()
    for name in set(sys.modules) - before:
        path = getattr(sys.modules[name], "__file__", None) or ""
        if path.startswith(DIST_PACKAGES):
            files.add(path)
    return files


def owners(files):
    if not files:
        return set()
    out = subprocess.run(["dpkg", "-S", *sorted(files)], capture_output=True, text=True, check=True).stdout
    return {line.split(":")[0] for line in out.splitlines() if ": " in line}


def main(repo):
    failed = False
    for folder, groups in FOLDERS.items():
        listed = subprocess.run([os.path.join(repo, "scripts", "install-deps.sh"), "--list", *groups],
                                capture_output=True, text=True, check=True).stdout.split()
        needed = owners(modules_loaded_by(imported_names(os.path.join(repo, folder), own_modules(repo))))
        missing = sorted(needed - set(listed))
        if missing:
            failed = True
            print(f"{folder}/ loads modules of {', '.join(missing)}, not named in install-deps.sh "
                  f"{' '.join(groups)}", file=sys.stderr)
        else:
            print(f"ok: {folder}/ needs {', '.join(sorted(needed)) or 'no packaged module'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
