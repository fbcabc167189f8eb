import importlib.metadata
import subprocess
import sys

import pytest

import korvane
from installed_wheel_check import mapped_files, outside

MAPS = """\
7f00a000-7f00b000 r--p 00000000 08:01 11 /venv/lib/python3.12/site-packages/korvane.libs/libtbb-4d79fbbd.so.12.8
7f00b000-7f00c000 r-xp 00001000 08:01 11 /venv/lib/python3.12/site-packages/korvane.libs/libtbb-4d79fbbd.so.12.8
7f00c000-7f00d000 r--p 00000000 08:01 12 /usr/lib/x86_64-linux-gnu/libtbbmalloc.so.2.8
7f00d000-7f00e000 r--p 00000000 08:01 13 /home/a user/lib/libtbb.so.12
7f00e000-7f00f000 r--p 00000000 08:01 14 /usr/lib/x86_64-linux-gnu/libstdc++.so.6.0.30
7f00f000-7f010000 rw-p 00000000 00:00 0
7ffd0000-7ffd1000 rw-p 00000000 00:00 0 [stack]
"""


def test_the_installed_version_is_the_one_the_extension_was_compiled_with():
    assert importlib.metadata.version("korvane") == korvane.__version__


def test_mapped_files_lists_each_library_once_and_keeps_spaces_in_paths():
    assert mapped_files(MAPS, "libtbb") == [
        "/home/a user/lib/libtbb.so.12",
        "/usr/lib/x86_64-linux-gnu/libtbbmalloc.so.2.8",
        "/venv/lib/python3.12/site-packages/korvane.libs/libtbb-4d79fbbd.so.12.8",
    ]
    assert mapped_files(MAPS, "libz") == []


@pytest.mark.parametrize(
    "path, is_outside",
    [
        ("/venv/lib/python3.12/site-packages/korvane.libs/libtbb.so.12", False),
        ("/usr/lib/x86_64-linux-gnu/libtbb.so.12", True),
        # A sibling folder whose name merely starts with the same text is elsewhere.
        ("/venv/lib/python3.12/site-packages-old/libtbb.so.12", True),
        ("/venv/lib/python3.12/site-packages/../../libtbb.so.12", True),
    ],
)
def test_outside_compares_whole_path_components(path, is_outside):
    assert outside([path], "/venv/lib/python3.12/site-packages") == ([path] if is_outside else [])


def test_the_core_functions_and_saved_models_load_without_scikit_learn():
    # A fresh interpreter: this one has long imported scikit-learn.
    probe = (
        "import sys, korvane\n"
        "korvane.load, korvane.fit_log_rank_forest, korvane.StepFunction\n"
        "print(sorted(m for m in ('sklearn', 'scipy', 'pandas') if m in sys.modules))\n"
    )
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[]"


@pytest.mark.parametrize("name", [*korvane.__all__, "metrics", "ensemble", "_survival_target"])
def test_every_public_name_and_submodule_resolves_on_first_use(name):
    assert getattr(korvane, name) is not None


def test_submodules_of_optional_libraries_still_need_their_own_import():
    probe = "import korvane\nprint(hasattr(korvane, 'dask'), hasattr(korvane, 'plotting'))\n"
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["False", "False"]


def test_dir_lists_the_names_not_yet_imported():
    assert set(korvane.__all__) <= set(dir(korvane))


def test_an_unknown_name_is_an_attribute_error():
    with pytest.raises(AttributeError, match="no attribute 'RandomForest'"):
        korvane.RandomForest  # noqa: B018
    assert not hasattr(korvane, "no_such_module")
