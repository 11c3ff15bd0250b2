"""Every relative link and picture in the README, CONTRIBUTING.md and the
pages under docs/ leads to a file of the checkout, and every #anchor to a
heading of the page it names (as GitHub makes anchors from headings).
Links to other sites are not followed; code blocks and code spans are not
links."""

import os
import re

import pytest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

FENCE = re.compile(r"^ {0,3}(```|~~~).*?^ {0,3}\1[^\n]*$", re.S | re.M)
CODE_SPAN = re.compile(r"(`+)(?!`).*?(?<!`)\1(?!`)", re.S)
# [text](target) and ![alt](target), an optional "title" after the target.
LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
HEADING = re.compile(r"^ {0,3}#{1,6}\s+(.*?)\s*#*\s*$", re.M)


def pages():
    names = ["README.md", "CONTRIBUTING.md"]
    names += sorted(os.path.join("docs", n) for n in os.listdir(os.path.join(TOP, "docs"))
                    if n.endswith(".md"))
    return names


def prose(text):
    """The text without fenced code blocks and code spans."""
    return CODE_SPAN.sub("", FENCE.sub("", text))


def anchors(text):
    """The anchors GitHub gives the headings of a page: lower case, without
    punctuation but - and _, blanks as -, a repeated one with -1, -2, ..."""
    seen = {}
    out = set()
    for title in HEADING.findall(FENCE.sub("", text)):
        title = CODE_SPAN.sub(lambda m: m.group(0).strip("`"), title)
        slug = re.sub(r"[^\w\- ]", "", title.strip().lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        out.add(slug if n == 0 else f"{slug}-{n}")
    return out


def broken_links(path):
    """The links of the Markdown file `path` that lead nowhere, each with
    the reason."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    bad = []
    for target in LINK.findall(prose(text)):
        if not target or re.match(r"^[a-z][a-z0-9+.-]*:", target, re.I):
            continue  # another site, mail
        file_part, _, anchor = target.partition("#")
        dest = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part \
            else path
        if not os.path.exists(dest):
            bad.append(f"{target}: no file {os.path.relpath(dest, TOP)}")
        elif anchor and dest.endswith(".md"):
            with open(dest, encoding="utf-8") as f:
                if anchor not in anchors(f.read()):
                    bad.append(f"{target}: no heading #{anchor} in {os.path.relpath(dest, TOP)}")
    return bad


@pytest.mark.parametrize("page", pages())
def test_every_relative_link_resolves(page):
    assert broken_links(os.path.join(TOP, page)) == []


CASES = [
    # what, the page's text, the links it must report as broken
    ("a file that exists", "[b](b.md) and ![p](pic.png)", []),
    ("a missing file", "see [x](missing.md)", ["missing.md"]),
    ("a missing picture", "![p](docs/none.png)", ["docs/none.png"]),
    ("a heading of another page", "[b](b.md#a-heading-wintxt)", []),
    ("a missing heading", "[b](b.md#no-such)", ["b.md#no-such"]),
    ("a heading of the page itself", "# Top\n[t](#top)", []),
    ("a repeated heading", "# Top\n# Top\n[t](#top-1)", []),
    ("a heading inside code is none", "```\n# Fake\n```\n[t](#fake)", ["#fake"]),
    ("a link inside code is none", "`[x](missing.md)`\n```\n[y](gone.md)\n```", []),
    ("another site", "[w](https://example.org/x.md) [m](mailto:a@b)", []),
    ("a folder above", "[up](../outside.md)", ["../outside.md"]),
]


@pytest.mark.parametrize("what,text,want", CASES, ids=[c[0] for c in CASES])
def test_broken_links_finds_what_leads_nowhere(tmp_path, what, text, want):
    sub = tmp_path / "sub"
    sub.mkdir()
    (sub / "b.md").write_text("# A heading: `win.txt`\n")
    (sub / "pic.png").write_bytes(b"")
    page = sub / "page.md"
    page.write_text(text)
    got = [b.split(": no ")[0] for b in broken_links(str(page))]
    assert got == want, what
