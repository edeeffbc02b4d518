#!/usr/bin/env python3
"""Checks that the README and the guides under docs/ point at things that exist: every relative
link (and its #anchor, against the target's headings) and every source path named in inline
code (`outside/pmhost/`, `tools/fleet/cluster.sh gen ...`). Paths under build/ are outputs and
are not checked; placeholders (<arch>, NAME) end the checked part of a path.

  check_docs.py [ROOT]   exit 0 when everything resolves, 1 otherwise (each miss on a line)
"""
import glob
import os
import re
import sys

SOURCE_ROOTS = ("shared/", "outside/", "procman/", "tests/", "bench/", "tools/", "packaging/",
                "docs/", "cmake/")
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
CODE = re.compile(r"`([^`\n]+)`")
FENCE = re.compile(r"^\s*```")


def anchors(path):
    """GitHub's heading ids: lower case, punctuation dropped, blanks to hyphens, -N for repeats."""
    seen, out = {}, set()
    in_fence = False
    for line in open(path, encoding="utf-8"):
        if FENCE.match(line):
            in_fence = not in_fence
            continue
        m = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if in_fence or not m:
            continue
        slug = re.sub(r"[^\w\- ]", "", m.group(1).lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        out.add(slug if n == 0 else f"{slug}-{n}")
    return out


def source_path(text, root):
    """The checkable part of a path named in inline code, or None."""
    word = text.split()[0] if text.split() else ""
    if not word.startswith(SOURCE_ROOTS):
        return None
    parts = []
    for part in word.split("/"):
        placeholder = re.search(r"[<>]|^[A-Z_]+$|\.\.\.", part)
        if placeholder and not os.path.exists(os.path.join(root, *parts, part)):
            break
        parts.append(part)
    return "/".join(parts).rstrip(".,;:") or None


def check(root):
    misses = []
    docs = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    for doc in docs:
        rel = os.path.relpath(doc, root)
        in_fence = False
        for number, line in enumerate(open(doc, encoding="utf-8"), 1):
            if FENCE.match(line):
                in_fence = not in_fence
                continue
            if in_fence:
                continue
            for target in LINK.findall(line):
                if re.match(r"^[a-z]+:", target):
                    continue
                file_part, _, anchor = target.partition("#")
                path = os.path.normpath(os.path.join(os.path.dirname(doc), file_part)) if file_part else doc
                if not os.path.exists(path):
                    misses.append(f"{rel}:{number}: link to a missing file: {target}")
                elif anchor and path.endswith(".md") and anchor not in anchors(path):
                    misses.append(f"{rel}:{number}: link to a missing heading: {target}")
            for text in CODE.findall(LINK.sub("", line)):
                path = source_path(text, root)
                if path and not glob.glob(os.path.join(root, path)):
                    misses.append(f"{rel}:{number}: names a path that does not exist: {path}")
    return misses


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    misses = check(os.path.abspath(root))
    for m in misses:
        print(m)
    print(f"docs: {len(misses)} broken reference(s)" if misses else "docs: every link and path resolves")
    return 1 if misses else 0


if __name__ == "__main__":
    sys.exit(main())
