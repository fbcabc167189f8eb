"""Ctrl-C stops every long call within half a second, and the process and its
pool stay usable: the next fit equals one made in a fresh process.

Each case runs in a child process that starts a long call and receives SIGINT
about a second later. Sizes keep each call far longer than that, while the
interrupted call itself only runs for about a second."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

SETUP = """
import signal, sys, time
# A process started in the background inherits SIGINT ignored; the child
# stands for an interactive session, where Ctrl-C raises KeyboardInterrupt.
signal.signal(signal.SIGINT, signal.default_int_handler)
import numpy as np
import korvane._korvane_core as core

def survival(n, p, seed=0):
    rng = np.random.default_rng(seed)
    X = np.asfortranarray(rng.normal(size=(n, p)))
    return X, rng.exponential(np.exp(-X[:, 0])), (rng.random(n) < 0.7).astype(np.uint8)

def same_row(n, p):
    return np.lib.stride_tricks.as_strided(np.zeros(p), shape=(n, p), strides=(0, 8))

def fingerprint():
    X, t, e = survival(300, 5, seed=1)
    forest = core.fit_log_rank_forest(X, t, e, n_trees=20, seed=5)
    return hash(forest.predict_cumulative_hazard(X, np.arange(4.0)).tobytes() + forest.forest_weights(X).tobytes())
"""

# (prepare, long call): the preparation runs before the clock starts.
CALLS = {
    "log_rank_forest_fit": ("X, t, e = survival(20000, 8)", "core.fit_log_rank_forest(X, t, e, n_trees=5000)"),
    "gradient_forest_fit": ("X, t, e = survival(20000, 8)", "core.fit_gradient_forest(X, t, n_trees=5000)"),
    "single_tree_fit": ("X, t, e = survival(100000, 10)", "core.fit_log_rank_tree(X, t, e, min_samples_leaf=1)"),
    "grow_on_one_thread": ("X, t, e = survival(20000, 8)", "core._grow_log_rank_forest(X, t, e, n_trees=5000, n_threads=1, progress=lambda done, total: None)"),
    "forest_hazard": (
        "X, t, e = survival(2000, 4); model = core.fit_log_rank_forest(X, t, e, n_trees=200, min_samples_leaf=5)",
        "model.predict_cumulative_hazard(same_row(400000, 4), np.linspace(0.0, 3.0, 64))",
    ),
    "forest_weights": (
        # Leaves of a few thousand rows: each query row adds about 3,000 · 2,500 shares.
        "X, t, e = survival(5000, 4); model = core.fit_gradient_forest(X, t, n_trees=3000, min_samples_leaf=2000)",
        "model.forest_weights(same_row(5000, 4))",
    ),
}


def child_program(prepare, call):
    return SETUP + textwrap.dedent(f"""
        {prepare}
        print("ready", flush=True)
        try:
            {call}
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), flush=True)
        print("after", fingerprint(), flush=True)
    """)


@pytest.fixture(scope="module")
def fresh_fingerprint():
    program = SETUP + "print(fingerprint())"
    run = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120, env=os.environ | {"PYTHONHASHSEED": "0"})
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


def interrupted_latency(case):
    """Seconds from SIGINT to KeyboardInterrupt in a child, and what it printed after."""
    child = subprocess.Popen(
        [sys.executable, "-c", child_program(*CALLS[case])],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=os.environ | {"PYTHONHASHSEED": "0"},
    )
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        output, errors = child.communicate(timeout=60)
    finally:
        child.kill()
    lines = output.splitlines()
    assert lines[0].startswith("interrupted"), (output, errors)
    return float(lines[0].split()[1]) - sent, lines[1], errors


@pytest.mark.parametrize("case", list(CALLS))
def test_ctrl_c_interrupts_a_long_call_within_half_a_second(case, fresh_fingerprint):
    # A second trial forgives a child that a loaded machine did not schedule in
    # time; a call that does not check for stops misses the limit every time.
    for _ in range(2):
        latency, after, errors = interrupted_latency(case)
        assert after == f"after {fresh_fingerprint}", errors
        if latency < 0.5:
            return
    pytest.fail(f"KeyboardInterrupt {latency:.3f} s after SIGINT")
