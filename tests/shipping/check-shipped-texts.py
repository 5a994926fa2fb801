#!/usr/bin/python3
"""Checks the texts of a release, unpacked into one folder as a server programmer unpacks it (the
program archive and the stand-in archive together), against what that folder holds:

- every link of a Markdown page leads to a file or folder there, and its #anchor to a heading of
  the page it names;
- every path a text names (README.txt, README.md, the pages, the headers and sources), with / or \\,
  that ends in a file name with an extension, or that is a folder in `backticks/`, is there,
  relative to the text's own folder or to the top; paths in code blocks, with placeholders (<...>),
  ellipses or drive letters are the reader's own, not the release's;
- every function that bridgeparent/include/bridge_parent.h declares is named in the table of
  every call on docs/server-library.md;
- every C and CMake code block of a Markdown page is taken from the example server: its lines
  come, in that order and one after the other, in examples/server/Server.c or its CMakeLists.txt,
  so that what the pages show is what the release tests build and run.

usage: check-shipped-texts.py FOLDER      prints each problem; exits with 1 when there is one
"""
import os
import re
import sys

TEXT_SUFFIXES = (".md", ".txt", ".h", ".c")
# The licences of others, quoted as their packages give them.
NOT_OURS = ("THIRD-PARTY-NOTICES.txt", "LICENSE.txt")
EXTENSIONS = "md|txt|h|c|cpp|dll|exe|zip|debug|rtf"
PATH = re.compile(r"(?<![\w.:/\\<>$-])((?:[\w.-]+[/\\])+[\w.-]+\.(?:%s))(?![\w/\\])" % EXTENSIONS)
FOLDER = re.compile(r"`((?:[\w.-]+[/\\])+)`")
LINK = re.compile(r"\]\(([^)\s]+)\)")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.M | re.S)
C_HEADER = "bridgeparent/include/bridge_parent.h"
CALL_PAGE = "docs/server-library.md"
SNIPPET_SOURCES = {"c": "examples/server/Server.c", "cmake": "examples/server/CMakeLists.txt"}


def anchors(page):
    """The anchors of a Markdown page's headings, as GitHub makes them."""
    found = set()
    for heading in re.findall(r"^#+ (.*)$", page, re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        found.add(slug)
    return found


def exists(folder, text_folder, path):
    path = path.replace("\\", "/")
    return any(os.path.exists(os.path.join(base, path)) for base in (text_folder, folder))


def lines_of(text):
    return [line.strip() for line in text.strip("\n").split("\n")]


def contains(source, snippet):
    size = len(snippet)
    return any(source[i:i + size] == snippet for i in range(len(source) - size + 1))


def check(folder):
    problems = []
    sources = {}
    for language, relative in SNIPPET_SOURCES.items():
        path = os.path.join(folder, relative)
        if os.path.isfile(path):
            with open(path, encoding="utf-8") as source:
                sources[language] = lines_of(source.read())
        else:
            problems.append("%s is missing" % relative)
    texts = 0
    for root, _, files in os.walk(folder):
        for name in sorted(files):
            if not (name.endswith(TEXT_SUFFIXES) or name == "CMakeLists.txt") or name in NOT_OURS:
                continue
            path = os.path.join(root, name)
            relative = os.path.relpath(path, folder)
            with open(path, encoding="utf-8") as text_file:
                text = text_file.read()
            texts += 1
            prose = text
            if name.endswith(".md"):
                for language, body in FENCE.findall(text):
                    if language in sources and not contains(sources[language], lines_of(body)):
                        problems.append("%s: a %s block is not taken from %s:\n%s"
                                        % (relative, language, SNIPPET_SOURCES[language], body))
                prose = FENCE.sub("", text)
                for link in LINK.findall(prose):
                    if re.match(r"^[a-z]+://", link):
                        continue
                    target, _, anchor = link.partition("#")
                    target_path = os.path.normpath(os.path.join(root, target)) if target else path
                    if not os.path.exists(target_path):
                        problems.append("%s links %s, which the release does not hold" % (relative, target))
                    elif anchor and target_path.endswith(".md"):
                        with open(target_path, encoding="utf-8") as page:
                            if anchor not in anchors(page.read()):
                                problems.append("%s links %s, a heading that %s lacks"
                                                % (relative, link, os.path.basename(target_path)))
                for named in FOLDER.findall(prose):
                    if "<" not in named and not exists(folder, root, named):
                        problems.append("%s names %s, which the release does not hold" % (relative, named))
            for named in PATH.findall(prose):
                if not exists(folder, root, named):
                    problems.append("%s names %s, which the release does not hold" % (relative, named))
    header, page = os.path.join(folder, C_HEADER), os.path.join(folder, CALL_PAGE)
    if os.path.isfile(header) and os.path.isfile(page):
        with open(header, encoding="utf-8") as declarations, open(page, encoding="utf-8") as calls:
            table = calls.read().partition("\n## Every call\n")[2].partition("\n## ")[0]
            named = set(re.findall(r"`(KvBridge\w+)[(`]", table))
            for function in sorted(set(re.findall(r"\b(KvBridge\w+)\(", declarations.read()))):
                if function not in named:
                    problems.append("%s does not list %s of %s under Every call" % (CALL_PAGE, function, C_HEADER))
    else:
        problems.append("%s or %s is missing" % (C_HEADER, CALL_PAGE))
    if texts == 0:
        problems.append("%s holds no texts" % folder)
    return problems, texts


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().split("\n")[-1], file=sys.stderr)
        return 2
    problems, texts = check(sys.argv[1])
    for problem in problems:
        print("FAIL: " + problem)
    if problems:
        return 1
    print("shipped texts: %d checked, every link, path and code block holds" % texts)
    return 0


if __name__ == "__main__":
    sys.exit(main())
