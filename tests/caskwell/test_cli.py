"""The command-line front, end to end: a subprocess against the index served by the test."""
import contextlib
import json
import os
import socket
import subprocess
import sys

import vantrel_master

from .conftest import make_wheel

SRC = os.path.dirname(os.path.dirname(vantrel_master.__file__))


def cli(*args, settings=None, tmp_path=None):
    argv = [sys.executable, "-m", "vantrel_master.business_layer.packages.caskwell_cli"]
    if settings is not None:
        path = tmp_path / "settings.json"
        path.write_text(json.dumps(settings))
        argv += ["--settings", str(path)]
    env = {**os.environ, "PYTHONPATH": SRC}
    env.pop("VANTREL_CASKWELL_MODULE", None)
    proc = subprocess.run(argv + list(args), capture_output=True, text=True, timeout=60, env=env)
    return proc.returncode, proc.stdout, proc.stderr


def test_cli_answers_the_package_managers_questions(server, settings, tmp_path):
    server.release("/b", "pkg", "2.0", ['extra-dep[x]>=1; extra == "speed"', "base"], releases=["1.0", "2.0", "2.0b1"])
    server.project("/w", "alpha", [make_wheel("alpha", "1.0", ["zeta<2"])])
    config = settings(("/a", True, True), ("/b", False, True), ("/w", False, False))

    def run(*args):
        return cli(*args, settings=config, tmp_path=tmp_path)

    assert run("versions", "pkg") == (0, "2.0\n2.0b1\n1.0\n", "")
    code, out, _ = run("--json", "dependencies", "pkg", "2.0")
    assert code == 0 and json.loads(out) == [
        {"name": "extra-dep", "version_spec": ">=1", "extras": ["x"], "markers": 'extra == "speed"'},
        {"name": "base", "version_spec": "", "extras": [], "markers": ""}]
    assert run("dependencies", "pkg", "2.0")[1] == 'extra-dep[x] >=1; extra == "speed"\nbase\n'
    assert run("extras", "pkg", "2.0")[:2] == (0, "speed\n")
    assert run("info", "pkg")[:2] == (0, "pkg 2.0\npkg summary\n")
    assert run("find-repo", "pkg", "--version", "2.0")[:2] == (0, server.url("/b/simple/") + "\n")
    # An index without a pattern, through the package finder.
    assert run("dependencies", "alpha", "1.0", "--index-url", server.url("/w/simple/"))[:2] == (0, "zeta <2\n")
    code, out, err = run("-v", "versions", "nothing-here")
    assert (code, out) == (1, "") and "No versions found for nothing-here in any index" in err
    assert json.loads(run("--json", "info", "nothing-here")[1]) == {
        "error": "Package 'nothing-here' not found in any configured index"}


@contextlib.contextmanager
def silent_index():
    """The URL of an index that accepts connections and never answers."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        yield f"http://127.0.0.1:{listener.getsockname()[1]}/simple/"


def closed_index():
    """The URL of an index nobody listens at."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return f"http://127.0.0.1:{port}/simple/"


def with_api(*urls):
    return [{"index_url": url, "api_pattern": url.replace("/simple/", "/pypi/{package_name}/{version}/json")}
            for url in urls]


def test_cli_says_what_it_tried_when_nothing_is_found(server, settings, tmp_path):
    server.release("/b", "pkg", "2.0", ["base"])
    closed = closed_index()
    config = settings(("/a", True, True), ("/b", False, True))
    config["pip_index_urls"].append({"url": closed})
    config["pip_api_list"] += with_api(closed)
    a, b = server.url("/a/simple/"), server.url("/b/simple/")

    def run(*args, settings=config):
        return cli(*args, settings=settings, tmp_path=tmp_path)

    unreachable = f"Failed to query {closed} for pkg: Cannot connect to host "
    code, out, err = run("extras", "pkg", "2.0")
    lines = err.splitlines()
    assert (code, out) == (1, "") and lines[:3] == ["no extras found for pkg 2.0; asked:", f"  {a}: pkg not found",
                                                    f"  {b}: pkg 2.0 declares no extras"]
    assert lines[3].startswith(f"  {closed}: {unreachable}") and len(lines) == 4
    code, out, err = run("--json", "find-repo", "pkg", "--version", "9")
    assert (code, json.loads(out)) == (1, None) and err.splitlines()[:3] == [
        "no configured index has pkg 9; asked:", f"  {a}: does not have pkg 9", f"  {b}: does not have pkg 9"]
    code, _, err = run("dependencies", "other", "1")
    assert code == 1 and err.startswith(f"no dependencies found for other 1; asked:\n  {a}: other not found\n")
    # Only unreachable indexes: said so, not "not found".
    code, out, err = run("info", "pkg", settings={"pip_index_urls": [closed], "pip_api_list": with_api(closed)})
    assert (code, out) == (1, "") and err.startswith(f"error: the index could not be reached; asked:\n  {closed}: "
                                                     f"{unreachable}")
    code, _, err = run("versions", "pkg", settings={"pip_index_urls": [{"url": closed}, {"url": closed}],
                                                    "pip_api_list": with_api(closed)})
    assert err.startswith("error: none of the 2 indexes could be reached; asked:\n")
    assert run("versions", "pkg", settings={"pip_index_urls": []}) == (
        1, "", "error: no index was asked: the settings have no primary index, and secondary indexes are switched "
               "off or there are none\n")


def test_cli_gives_up_at_its_timeout(tmp_path):
    with silent_index() as silent:
        settings = {"pip_index_urls": [silent], "pip_api_list": with_api(silent)}
        # The option belongs to every command, before it or after it.
        for args in (("--timeout", "0.5", "info", "pkg"), ("info", "pkg", "--timeout", "0.5")):
            assert cli(*args, settings=settings, tmp_path=tmp_path) == (1, "", "error: no answer within 0.5 seconds\n")


def test_cli_checks_the_interpreter(tmp_path):
    import pytest as installed
    version = installed.__version__
    code, out, _ = cli("check", f"pytest>={version}")
    assert (code, out) == (0, f"satisfied: pytest {version}\n")
    assert cli("check", f"pytest (>={version}, <1000)")[:2] == (0, f"satisfied: pytest {version}\n")
    assert cli("check", f"pytest>=1,<{version}")[:2] == (1, f"not satisfied: {version} is installed\n")
    code, out, _ = cli("--json", "check", "pytest[no-such-extra]")
    assert code == 1 and json.loads(out) == {"requirement": "pytest[no-such-extra]", "name": "pytest",
                                             "satisfied": False, "installed": version,
                                             "missing_extras": ["no-such-extra"]}
    assert cli("check", "pytest[no-such-extra]")[1] == (
        f"not satisfied: {version} is installed but does not provide the extra 'no-such-extra'\n")
    assert cli("check", "no-such-dist-here>=1")[:2] == (1, "not satisfied: no-such-dist-here is not installed\n")


def test_cli_usage_errors(server, tmp_path):
    def usage_error(*args, settings=None):
        code, out, err = cli(*args, settings=settings, tmp_path=tmp_path)
        assert (code, out) == (2, ""), err
        return err.splitlines()[-1] if "usage:" in err else err

    assert usage_error("check", ">=1").startswith("error: not a requirement: ")
    err = usage_error("check", "not a req!!")
    assert err.startswith("error: not a requirement: Expected ") and err.endswith("^\n")  # the parser's own words
    assert "direct reference" in usage_error("check", "pytest @ https://example.invalid/pytest.whl")
    assert "not an index URL (http, https or file): 'notaurl'" in usage_error("versions", "x", "--index-url", "notaurl")
    assert "argument name: not a package name: ''" in usage_error("info", "")
    assert "not a package name: '../x'" in usage_error("extras", "../x", "1.0")
    assert "not a number of seconds: '0'" in usage_error("--timeout", "0", "info", "x")
    (tmp_path / "bad.json").write_text("[1, 2")
    assert "is not valid JSON" in usage_error("--settings", str(tmp_path / "bad.json"), "versions", "x")
    # Settings that pip_settings would pass over (querying its default index instead).
    index = server.url("/a/simple/")
    for settings, message in (({"pip_index_urls": index}, "pip_index_urls must be a list of index URLs, not str"),
                              ({"pip_index_urls": [{"url": 5}]}, "pip_index_urls[0]: not an index URL: 5"),
                              ({"pip_index_urls": [index, "ftp://x/"]},
                               "pip_index_urls[1]: not an index URL (http, https or file): 'ftp://x/'"),
                              ({"pip_use_secondary_urls": 1}, "pip_use_secondary_urls must be true or false, not int"),
                              ({"pip_api_list": {"index_url": index}}, "pip_api_list must be a list of API patterns")):
        assert message in usage_error("versions", "x", settings=settings)
    assert server.requests == []
