"""check_specifier_in_dist against distributions really installed in the test
interpreter: a site directory with .dist-info folders is put on sys.path."""
import sys

import pytest


def install(site, folder, name, version, requires=()):
    info = site / folder
    info.mkdir()
    lines = ["Metadata-Version: 2.1"] + ([f"Name: {name}"] if name else []) + [f"Version: {version}"]
    lines += [f"Requires-Dist: {r}" for r in requires]
    (info / "METADATA").write_text("\n".join(lines) + "\n")


@pytest.fixture
def site(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    return tmp_path


def test_specifiers_extras_and_the_cache(site, client, log):
    install(site, "Probe_Dist-1.2.3.dist-info", "Probe_Dist.Kit", "1.2.3",
            ['fastlib; extra == "Fast-Mode"', "tool; extra=='nospace'", "plain"])
    install(site, "nameless-0.1.dist-info", None, "0.1")
    c = client(None)
    check = c.check_specifier_in_dist
    assert check("probe-dist-kit", ">=1.0,<2") == "1.2.3"
    assert check("PROBE__dist.KIT", "==1.2.3", ["fast-mode"]) == "1.2.3"
    assert check("probe-dist-kit", "") == "1.2.3" and check("probe-dist-kit", "  \t") == "1.2.3"
    assert check("probe-dist-kit", ">=2") is None
    assert check("probe-dist-kit", "", ["fast_mode"]) is None   # "_" is not "-"
    assert check("probe-dist-kit", "", ["nospace"]) is None     # a marker without "extra ==" is not seen
    assert check("not-installed-anywhere", "") is None
    assert log() == [("DEBUG", f"Skipping an installed distribution without a name: {site / 'nameless-0.1.dist-info'}")]
    assert check("probe-dist-kit", "=>1") is None
    assert log() and log()[-1][1].startswith("Error checking version spec for probe-dist-kit: Invalid specifier")
    # Standard-library modules count as installed at the interpreter's version.
    version = sys.version.split()[0]
    assert check("asyncio", f"=={version}") == version and check("asyncio", "", ["any"]) is None
    # The installed set is the one of the first check until the cache is cleared.
    install(site, "late-4.0.dist-info", "late", "4.0")
    assert check("late", "") is None
    assert c.clear_distributions_cache() is None and c._distributions_cache is None
    assert check("late", ">=4") == "4.0"
    dists = c._get_current_distributions()
    assert dists is c._distributions_cache and "probe-dist-kit" in dists
    assert all(d.metadata["Name"] is not None for d in dists.values())  # the nameless one is left out
    with pytest.raises(TypeError, match="Argument 'extras' has incorrect type"):
        check("late", "", ("x",))


def test_without_packaging_nothing_is_satisfied(site, client, caskwell, log, monkeypatch):
    install(site, "late-4.0.dist-info", "late", "4.0")
    monkeypatch.setattr(caskwell, "PACKAGING_AVAILABLE", False)
    c = client(None)
    assert c.check_specifier_in_dist("late", "") is None
    assert c._distributions_cache is None
    assert log() == [("DEBUG", "packaging library not available, cannot check distributions")]
