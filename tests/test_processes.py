"""After fits in the parent, child processes made by fork (also while another
thread is inside a pooled call), forkserver and spawn fit and predict as the
parent does. Every child runs under a timeout, so a hang fails the test."""

import hashlib
import multiprocessing
import os
import subprocess
import sys
import textwrap

import pytest

from korvane import _korvane_core as core

from conftest import make_survival, model_outputs


def fingerprint():
    """A digest of a forest's fit, predictions and weights."""
    s = make_survival(n=120, p=4, seed=3)
    return hashlib.sha256(model_outputs(core.fit_log_rank_forest(*s, n_trees=16, seed=2), s.X)).hexdigest()


def report(queue):
    queue.put(fingerprint())


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_children_of_every_start_method_fit_as_the_parent(method):
    expected = fingerprint()  # the parent's pool is made and used first
    context = multiprocessing.get_context(method)
    queue = context.Queue()
    child = context.Process(target=report, args=(queue,))
    child.start()
    try:
        assert queue.get(timeout=60) == expected
    finally:
        child.join(timeout=10)
        child.kill()
    assert child.exitcode == 0


# The parent starts a long pooled call on another thread, waits until it is
# under way, forks, and lets the child fit; a child that inherited a busy pool
# used to block forever. The busy call is then stopped (by its progress
# callback) or left to finish.
FORK_DURING_CALL = """
import hashlib, os, sys, threading
import numpy as np
sys.path.insert(0, {tests!r})
from conftest import make_survival, model_outputs
from korvane import _korvane_core as core
from test_processes import fingerprint

expected = fingerprint()
rng = np.random.default_rng(0)
X = np.asfortranarray(rng.normal(size=(4000, 6)))
t, e = rng.exponential(size=4000), (rng.random(4000) < 0.7).astype(np.uint8)
under_way, stop = threading.Event(), threading.Event()

def progress(finished, total):
    under_way.set()
    if stop.is_set():
        raise KeyboardInterrupt

def busy():
    try:
        if {call!r} == "fit":
            core._grow_log_rank_forest(X, t, e, n_trees=5000, progress=progress)
        else:
            forest = core.fit_gradient_forest(X, t, n_trees=200, min_samples_leaf=200)
            under_way.set()
            forest.forest_weights(np.lib.stride_tricks.as_strided(X[0], shape=(4000, 6), strides=(0, 8)))
    except KeyboardInterrupt:
        pass

thread = threading.Thread(target=busy)
thread.start()
under_way.wait()
pid = os.fork()
if pid == 0:
    os._exit(0 if fingerprint() == expected else 1)
_, status = os.waitpid(pid, 0)
stop.set()
thread.join()
print(os.waitstatus_to_exitcode(status))
"""


@pytest.mark.parametrize("call", ["fit", "forest_weights"])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_a_child_forked_during_a_pooled_call_fits_as_the_parent(call):
    program = FORK_DURING_CALL.format(tests=os.path.dirname(__file__), call=call)
    run = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", program], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "0"
