"""VirtualEnvironment: the workbook's added import paths and the way back."""
import sys

import pytest

from vantrel_master.python_server.kernel import VirtualEnvironment

pytestmark = pytest.mark.usefixtures("import_state")


def test_construction():
    before = list(sys.path)
    env = VirtualEnvironment("wb")
    assert env.workbook_id == "wb"
    assert env.original_path == before and env.original_path is not sys.path
    assert env.custom_paths == [] and env.get_paths() == []
    with pytest.raises(TypeError, match="'workbook_id'"):
        VirtualEnvironment(None)


def test_add_puts_the_newest_first_once():
    env = VirtualEnvironment("wb")
    before = list(sys.path)
    env.add_path("/x/a")
    env.add_path("/x/b")
    env.add_path("/x/a")
    assert env.custom_paths == ["/x/a", "/x/b"]
    assert sys.path == ["/x/b", "/x/a", *before]


def test_add_of_a_path_already_present_only_records_it():
    sys.path.append("/x/present")
    before = list(sys.path)
    env = VirtualEnvironment("wb")
    env.add_path("/x/present")
    assert sys.path == before and env.custom_paths == ["/x/present"]
    env.remove_path("/x/present")
    assert "/x/present" not in sys.path and env.custom_paths == []


def test_remove_only_what_was_added():
    sys.path.append("/x/theirs")
    env = VirtualEnvironment("wb")
    before = list(sys.path)
    env.remove_path("/x/theirs")
    assert sys.path == before
    env.add_path("/x/mine")
    env.remove_path("/x/mine")
    assert sys.path == before and env.custom_paths == []


def test_paths_are_compared_exactly():
    env = VirtualEnvironment("wb")
    env.add_path("/x/dir")
    env.add_path("/x/dir/")
    env.add_path("/X/DIR")
    assert env.custom_paths == ["/x/dir", "/x/dir/", "/X/DIR"]
    env.remove_path("/x/dir/")
    assert "/x/dir/" not in sys.path and "/x/dir" in sys.path


def test_reset_restores_the_snapshot_in_the_same_list():
    env = VirtualEnvironment("wb")
    snapshot = list(sys.path)
    path_object = sys.path
    env.add_path("/x/added")
    sys.path.append("/x/by-someone-else")
    sys.path.remove(snapshot[-1])  # taken away by someone: comes back
    env.reset_path()
    assert sys.path is path_object
    assert sys.path == snapshot
    assert env.get_paths() == []


def test_get_paths_is_a_copy():
    env = VirtualEnvironment("wb")
    env.add_path("/x/a")
    paths = env.get_paths()
    paths.append("/x/b")
    assert env.custom_paths == ["/x/a"]


@pytest.mark.parametrize("method", ["add_path", "remove_path"])
def test_path_must_be_a_str(method):
    env = VirtualEnvironment("wb")
    before = list(sys.path)
    with pytest.raises(TypeError, match="'path'"):
        getattr(env, method)(b"/x")
    assert sys.path == before and env.custom_paths == []
