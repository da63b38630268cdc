#!/usr/bin/env python3
"""Prints "<key> <source>" for every source of ours in a build's compilation
database, one line each, sorted by source.

The key is a SHA-256 over everything that decides clang-tidy's verdict on the
source: the source's text, the text of every header of this checkout it
includes (from ninja's dependency log, so the build must have run), its
compile commands with the checkout's own path taken out, .clang-tidy, and
clang-tidy's version number. scripts/lint.sh records the keys of a clean run in
.ci/lint-clean; a source whose key is not there has changed since.

    scripts/lint-keys.py BUILD_DIR FILE_REGEX
"""

import hashlib
import json
import os
import re
import shlex
import subprocess
import sys


def main():
    build, pattern = sys.argv[1], re.compile(sys.argv[2])
    root = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
    build = os.path.realpath(build)

    def inside(path):
        return path == root or path.startswith(root + os.sep)

    def normalised(text):
        return text.replace(root, "@")

    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        database = json.load(f)

    deps = {}
    current = None
    listing = subprocess.run(["ninja", "-C", build, "-t", "deps"], check=True, capture_output=True, text=True).stdout
    for line in listing.splitlines():
        if line and not line[0].isspace():
            current = os.path.realpath(os.path.join(build, line.split(": #deps", 1)[0]))
            deps[current] = []
        elif line.strip() and current:
            deps[current].append(os.path.realpath(os.path.join(build, line.strip())))

    # Only the version number decides the verdict: the rest of the banner
    # names the host's processor, which would make every key differ on
    # another machine.
    banner = subprocess.run(["clang-tidy", "--version"], check=True, capture_output=True, text=True).stdout
    match = re.search(r"version\s+(\d+(?:\.\d+)*)", banner)
    version = match.group(1) if match else banner
    with open(os.path.join(root, ".clang-tidy"), "rb") as f:
        config = f.read()

    per_source = {}
    for entry in database:
        source = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
        if not inside(source) or not pattern.search(source):
            continue
        arguments = entry.get("arguments") or shlex.split(entry["command"])
        output = arguments[arguments.index("-o") + 1] if "-o" in arguments else ""
        obj = os.path.realpath(os.path.join(entry["directory"], output))
        commands, headers = per_source.setdefault(source, (set(), set()))
        commands.add(normalised(" ".join(a for a in arguments if a != output)))
        headers.update(h for h in deps.get(obj, []) if inside(h) and h != source)

    for source in sorted(per_source):
        commands, headers = per_source[source]
        digest = hashlib.sha256()
        digest.update(version.encode())
        digest.update(config)
        for command in sorted(commands):
            digest.update(command.encode())
        for path in [source] + sorted(headers):
            digest.update(normalised(path).encode() + b"\0")
            try:
                with open(path, "rb") as f:
                    digest.update(f.read())
            except OSError:
                digest.update(b"missing")
        print(digest.hexdigest(), os.path.relpath(source, root))


if __name__ == "__main__":
    main()
