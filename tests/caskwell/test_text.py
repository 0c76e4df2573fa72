"""The text rules (name and URL normalisation, the requirement parser, extra markers)
against reference implementations written with Python's own str and re, over
hand-picked cases and a generated corpus that mixes separators, brackets, quotes,
line breaks, Unicode whitespace and characters of every str storage width."""
import random
import re
import sys

import pytest

from .conftest import ask


def ref_name(name):
    return re.sub(r"[-_.]+", "-", name.lower())


def ref_url(url):
    return url.rstrip("/\\")


def ref_requirement(req):
    parts = req.split(";", 1)
    pkg, marker = parts[0].strip(), parts[1].strip() if len(parts) > 1 else ""
    m = re.match(r"^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)", pkg)
    if not m:
        return None
    extras = [e.strip() for e in m.group(2).strip("[]").split(",")] if m.group(2) else []
    return {"name": m.group(1), "version_spec": m.group(3).strip(), "extras": extras, "markers": marker}


def ref_extras(requires):
    found = set()
    for req in requires:
        if "extra ==" in req:
            m = re.search(r"extra\s*==\s*['\"]([^'\"]+)['\"]", req)
            if m:
                found.add(m.group(1))
    return found


ALPHABET = list("aZ09._-[],;=() \"'") + ["extra", "extra ==", "extra==", "\n", "\t", "\u00a0", "\u2003", "\u3000",
                                         "\u1680", "\x1c", "\u00e9", "\u0130", "\u03a3", "\ud800", "\U0001f40d", "\\",
                                         "/"]


def corpus(n=3000, seed=1234):
    rng = random.Random(seed)
    return ["".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 14))) for _ in range(n)]


def test_hand_picked_cases(caskwell, log):
    c = caskwell.Caskwell(None)
    assert c._normalize_name("Foo__Bar.baz") == "foo-bar-baz" and c._normalize_name("A-_-B") == "a-b"
    assert c._normalize_name("--x..") == "-x-" and c._normalize_name("already-fine") == "already-fine"
    assert c._normalize_url("http://h/simple//\\") == "http://h/simple" and c._normalize_url("/\\/") == ""
    assert c._normalize_url("HTTP://H/x?q=1") == "HTTP://H/x?q=1"
    assert c._parse_requirement("requests[security, socks]>=2.8.1; python_version < '2.7'") == {
        "name": "requests", "version_spec": ">=2.8.1", "extras": ["security", "socks"],
        "markers": "python_version < '2.7'"}
    assert c._parse_requirement("pkg (>=1.0, <2)")["version_spec"] == "(>=1.0, <2)"
    assert c._parse_requirement("pkg[a,]")["extras"] == ["a", ""]
    assert c._parse_requirement("pkg @ https://h/p.whl ; os_name == 'nt'")["version_spec"] == "@ https://h/p.whl"
    assert c._parse_requirement("") is None and c._parse_requirement("  >=1; x") is None
    assert log() == [("WARNING", "Could not parse requirement: "), ("WARNING", "Could not parse requirement:   >=1; x")]


def test_python_whitespace_is_the_whitespace_of_the_rules(caskwell):
    c = caskwell.Caskwell(None)
    spaces = "".join(chr(i) for i in range(sys.maxunicode + 1) if chr(i).isspace())
    text = f"{spaces}pkg{spaces}>=1{spaces};{spaces}m{spaces}"
    assert c._parse_requirement(text) == ref_requirement(text)
    # The version part ends at a line break ("." of the pattern does not match one).
    assert c._parse_requirement(text)["version_spec"] == ""
    inline = spaces.replace("\n", "")
    record = c._parse_requirement(f"{spaces}pkg{inline}>=1{spaces};{spaces}m{spaces}")
    assert record == {"name": "pkg", "version_spec": ">=1", "extras": [], "markers": "m"}
    almost = "\u200b\ufeff\u180e"  # zero-width and other non-space characters
    assert c._parse_requirement(f"pkg >=1{almost}")["version_spec"] == f">=1{almost}"


def test_rules_agree_with_the_reference_on_a_generated_corpus(caskwell, server, settings, client, log):
    c = caskwell.Caskwell(None)
    texts = corpus()
    for text in texts:
        assert c._normalize_name(text) == ref_name(text), repr(text)
        assert c._normalize_url(text) == ref_url(text), repr(text)
        assert c._parse_requirement(text) == ref_requirement(text), repr(text)
    # Extra markers: through the extras of a JSON API document.
    requires = [t for t in texts if "extra" in t] + ["x; extra == 'a\u00e9\U0001f40d'", 'y; extra ==\t"\ud800b"']
    server.doc("/a/pypi/p/1/json", {"info": {"requires_dist": requires}})
    got = ask(c := client(settings(("/a", True, True))), c._get_extras_from_index("p", "1", server.url("/a/simple")))
    assert [r for r in log() if r[0] == "ERROR"] == []
    assert got == ref_extras(requires) and {"a\u00e9\U0001f40d", "\ud800b"} <= got


@pytest.mark.parametrize("requires", [["ok; extra == 'e'", None], ["ok", 5], "ab1; extra == 'e'", {"ok": 1}, 7])
def test_malformed_requirement_lists_are_a_failed_query(server, settings, client, log, requires):
    server.doc("/a/pypi/p/1/json", {"info": {"requires_dist": requires}})
    c = client(settings(("/a", True, True)))
    a = server.url("/a/simple")
    assert ask(c, c._get_extras_from_index("p", "1", a)) == set()
    assert ask(c, c.get_dependencies("p", "1", a)) == []
    assert ask(c, c.get_dependencies("p", "1", a)) == []  # the cached document, read the same way
    assert server.requests.count("/a/pypi/p/1/json") == 2
    # One failure line a query, nothing made up from the pieces of the field.
    problems = [(level, message) for level, message in log() if level in ("WARNING", "ERROR")]
    assert [level for level, _ in problems] == ["ERROR"] * 3
    assert all(message.startswith(f"Failed to query {a} for p: ") for _, message in problems)
    if not isinstance(requires, list):
        expected = f"requires_dist must be a list of requirement strings, not {type(requires).__name__}"
        assert problems[0][1].endswith(expected)
