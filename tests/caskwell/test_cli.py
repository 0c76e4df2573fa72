"""The command-line front, end to end: a subprocess against the index served by the test."""
import json
import os
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


def test_cli_checks_the_interpreter_and_reports_usage_errors(tmp_path):
    import pytest as installed
    code, out, _ = cli("check", f"pytest>={installed.__version__}")
    assert (code, out) == (0, f"satisfied: pytest {installed.__version__}\n")
    code, out, _ = cli("--json", "check", "pytest[no-such-extra]")
    assert code == 1 and json.loads(out) == {"requirement": "pytest[no-such-extra]", "name": "pytest", "installed": None}
    assert cli("check", f"pytest (>={installed.__version__}, <1000)")[:2] == (0, f"satisfied: pytest {installed.__version__}\n")
    assert cli("check", ">=1")[0] == 2
    code, _, err = cli("check", "pytest @ https://example.invalid/pytest.whl")
    assert code == 2 and "direct reference" in err
    (tmp_path / "bad.json").write_text("[1, 2")
    code, _, err = cli("--settings", str(tmp_path / "bad.json"), "versions", "x")
    assert code == 2 and "is not valid JSON" in err
