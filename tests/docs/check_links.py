#!/usr/bin/env python3
"""Checks the relative links of README.md and docs/*.md.

Usage: check_links.py SOURCE_DIR

Every link that is not an absolute URL must name an existing file or folder
(relative to the page that holds it), and every #anchor must name a heading
of the page it points to, as GitHub makes anchors from headings: lower case,
spaces to '-', punctuation dropped, "-1", "-2", ... after repeated headings.
Links inside code (fenced blocks and `spans`) are not links and are skipped.
Exit status: 0 when every link resolves, 1 with one line per broken link
otherwise, 2 on bad usage.
"""

import os
import re
import sys
import urllib.parse

FENCE = re.compile(r"^\s{0,3}(```|~~~)")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
# [text](target) or ![alt](target), target optionally <...> and a "title".
LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*(<[^>]*>|[^)\s]+)(?:\s+\"[^\"]*\")?\s*\)")
HTML_ANCHOR = re.compile(r"<a\s+(?:name|id)=\"([^\"]+)\"", re.IGNORECASE)
SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:")


def slug(heading):
    """GitHub's anchor for a heading's text (before de-duplication)."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # links keep their text
    text = re.sub(r"<[^>]+>", "", text)  # inline HTML tags
    text = text.strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)  # punctuation (also `, *, .) goes
    return text.replace(" ", "-")


def scan(path):
    """Returns (anchors, links) of a Markdown file; links as (line, target)."""
    anchors, links, seen = set(), [], {}
    fence = None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            m = FENCE.match(line)
            if fence:
                if m and m.group(1) == fence:
                    fence = None
                continue
            if m:
                fence = m.group(1)
                continue
            h = HEADING.match(line)
            if h:
                base = slug(h.group(2))
                count = seen.get(base, 0)
                seen[base] = count + 1
                anchors.add(base if count == 0 else f"{base}-{count}")
            anchors.update(a.lower() for a in HTML_ANCHOR.findall(line))
            for target in LINK.findall(CODE_SPAN.sub("", line)):
                links.append((number, target.strip("<>")))
    return anchors, links


def pages(root):
    found = [os.path.join(root, "README.md")]
    docs = os.path.join(root, "docs")
    for folder, _, files in sorted(os.walk(docs)):
        found += [os.path.join(folder, f) for f in sorted(files) if f.endswith(".md")]
    return [p for p in found if os.path.isfile(p)]


def check(root):
    """Returns the broken links under root as printable lines."""
    cache = {}

    def anchors_of(path):
        if path not in cache:
            cache[path] = scan(path)[0]
        return cache[path]

    broken = []
    for page in pages(root):
        for number, target in scan(page)[1]:
            if SCHEME.match(target) or target.startswith("//"):
                continue  # an absolute URL: not ours to check
            where = f"{os.path.relpath(page, root)}:{number}: {target}"
            file_part, _, anchor = target.partition("#")
            file_part = urllib.parse.unquote(file_part)
            dest = os.path.normpath(os.path.join(os.path.dirname(page), file_part)) if file_part else page
            if not os.path.exists(dest):
                broken.append(f"{where}: no such file")
            elif anchor and dest.endswith(".md") and os.path.isfile(dest):
                if urllib.parse.unquote(anchor).lower() not in anchors_of(dest):
                    broken.append(f"{where}: no heading with this anchor")
    return broken


def main(argv):
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        print("usage: check_links.py SOURCE_DIR", file=sys.stderr)
        return 2
    root = os.path.abspath(argv[1])
    if not pages(root):
        print(f"no README.md or docs/*.md under {root}", file=sys.stderr)
        return 1
    broken = check(root)
    for line in broken:
        print(line)
    if broken:
        print(f"{len(broken)} broken link(s)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
