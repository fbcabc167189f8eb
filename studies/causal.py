"""korvane's CausalForest against EconML's CausalForestDML: effect MSE, 95% coverage, fit time.

    python studies/causal.py [--reps 5] [--trees 400] [--econml-python .venv-econml/bin/python]
                             [--only TEXT] [--methods forest,auto,lasso,econml]

Three simulations (new draws per repetition, the same draws for both sides):

- econml-continuous: the setup of EconML's documented forest examples, written from their
  description: one effect modifier X ~ U(0, 1), 30 controls W ~ N(0, 1) of which 5 (random
  per repetition) drive the treatment and 5 the outcome with U(0, 1) coefficients,
  T = W_s b + U(-1, 1), Y = exp(2 X) T + W_s g + U(-1, 1); effect exp(2 x); n = 1,000.
- econml-binary: the same with a binary treatment, T ~ Bernoulli(expit(W_s b + U(-1, 1)));
  n = 2,000.
- design4-uncensored: design 4 of research/causal-survival-designs.md without censoring:
  p = 15 U(0, 1), e(X) = 1 / ((1 + exp(-X1)) (1 + exp(-X2))), the outcome
  T ~ Poisson(X2 + X3 + max(0, X1 - 0.3) W); effect max(0, X1 - 0.3); n = 2,000.

Both sides get the same information: the controls W enter only the nuisance models, the
effect varies with X. korvane fits CausalForest(X) with the controls passed as
`fit(..., controls=W)`, in three rows: model_y/model_t="forest" (out-of-bag regression forests
on (X, W), not honest: the default of earlier versions), "auto" (per nuisance, whichever of that
forest and a cross-validated linear model, lasso or logistic regression, errs less out of
fold, the linear model cross-fitted over 5 folds: the default), and "korvane + lasso":
cross-fitted nuisances of the kind EconML's model selection picks on these setups (LassoCV,
LogisticRegressionCV for a binary treatment, 2 folds as EconML) made outside and passed as
Y_hat / W_hat, which separates the effect forest from the nuisance models. EconML fits
CausalForestDML(Y, T, X=X, W=W) with its default nuisance models and cross-fitting. Forest
settings match: the same number of trees, max_samples 0.45 (EconML's default),
min_samples_leaf 5, honest, all features per node, 2 threads; each keeps its default
little-bag size (korvane 2, EconML 4). The test set has 1,000 rows; coverage is that of the
two-sided 95% intervals. Fit time is the wall time of everything a fit does (korvane: nuisance
models and causal forest); "EconML fit / fit" is EconML's mean fit time over the row's.
`--methods` picks the rows (forest, auto, lasso, econml).

EconML pins versions of NumPy and scikit-learn of its own, so it runs in its own virtual
environment (`--econml-python`), as this script with `--worker`, reading and writing .npz
files.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
THREADS = 2
N_TEST = 1000
MAX_SAMPLES = 0.45
MIN_LEAF = 5


def expit(z):
    return 1.0 / (1.0 + np.exp(-z))


def econml_example(n, binary, rng):
    n_w, support = 30, 5
    support_t = rng.choice(n_w, support, replace=False)
    support_y = rng.choice(n_w, support, replace=False)
    b, g = rng.uniform(size=support), rng.uniform(size=support)

    def draw(m):
        X = rng.uniform(size=(m, 1))
        W = rng.normal(size=(m, n_w))
        index = W[:, support_t] @ b + rng.uniform(-1, 1, size=m)
        T = rng.binomial(1, expit(index)).astype(float) if binary else index
        effect = np.exp(2 * X[:, 0])
        Y = effect * T + W[:, support_y] @ g + rng.uniform(-1, 1, size=m)
        return X, W, T, Y, effect

    return draw(n), draw(N_TEST)


def design4(n, rng):
    def draw(m):
        X = rng.uniform(size=(m, 15))
        e = 1.0 / ((1.0 + np.exp(-X[:, 0])) * (1.0 + np.exp(-X[:, 1])))
        T = rng.binomial(1, e).astype(float)
        effect = np.maximum(0.0, X[:, 0] - 0.3)
        Y = rng.poisson(X[:, 1] + X[:, 2] + effect * T).astype(float)
        return X, np.empty((m, 0)), T, Y, effect

    return draw(n), draw(N_TEST)


SETUPS = {
    "econml-continuous": lambda rng: econml_example(1000, False, rng),
    "econml-binary": lambda rng: econml_example(2000, True, rng),
    "design4-uncensored": lambda rng: design4(2000, rng),
}


def lasso_nuisances(XW, Y, T, seed):
    """Cross-fitted linear nuisances of the kind EconML's default model selection picks on
    these setups: cross-validated lasso for the outcome and a continuous treatment,
    cross-validated logistic regression for a binary one, each row predicted by the model of
    the other fold (2 folds, as EconML)."""
    import warnings

    from sklearn.linear_model import LassoCV, LogisticRegressionCV
    from sklearn.model_selection import KFold, cross_val_predict

    warnings.filterwarnings("ignore", category=FutureWarning, module="sklearn")
    folds = KFold(2, shuffle=True, random_state=seed)
    Y_hat = cross_val_predict(LassoCV(random_state=seed), XW, Y, cv=folds)
    if np.array_equal(T, T.astype(bool)):
        T_hat = cross_val_predict(LogisticRegressionCV(), XW, T.astype(int), cv=folds, method="predict_proba")[:, 1]
    else:
        T_hat = cross_val_predict(LassoCV(random_state=seed), XW, T, cv=folds)
    return Y_hat, T_hat


def korvane_side(train, X_test, trees, seed, nuisances="forest", min_side_samples=0, cv=5):
    """korvane's fit: nuisances "lasso" (cross-fitted outside, passed as Y_hat / W_hat), or the
    CausalForest's own model_y / model_t ("forest", "auto") on X and the controls W."""
    import korvane

    X, W, T, Y, _ = train
    start = time.perf_counter()
    given, models = {}, {}
    if nuisances == "lasso":
        given["Y_hat"], given["W_hat"] = lasso_nuisances(np.column_stack([X, W]), Y, T, seed)
    else:
        models = {"model_y": nuisances, "model_t": nuisances, "cv": cv}
    forest = korvane.CausalForest(n_estimators=trees, max_samples=MAX_SAMPLES, min_samples_leaf=MIN_LEAF,
                                  min_side_samples=min_side_samples, n_jobs=THREADS, random_state=seed, **models)
    forest.fit(X, Y, T, controls=W if W.shape[1] else None, **given)
    fit_seconds = time.perf_counter() - start
    effect, lower, upper = forest.predict(X_test, interval=True)
    return {"fit": fit_seconds, "effect": effect, "lower": lower, "upper": upper,
            "choice": forest.nuisance_choice_}


def econml_side(train, X_test, trees, seed, binary):
    from econml.dml import CausalForestDML

    X, W, T, Y, _ = train
    start = time.perf_counter()
    model = CausalForestDML(n_estimators=trees, max_samples=MAX_SAMPLES, min_samples_leaf=MIN_LEAF,
                            discrete_treatment=binary, n_jobs=THREADS, random_state=seed)
    model.fit(Y, T, X=X, W=W if W.shape[1] else None)
    fit_seconds = time.perf_counter() - start
    effect = model.effect(X_test)
    lower, upper = model.effect_interval(X_test, alpha=0.05)
    return {"fit": fit_seconds, "effect": effect, "lower": lower, "upper": upper}


def worker(path_in, path_out):
    data = np.load(path_in)
    train = (data["X"], data["W"], data["T"], data["Y"], None)
    result = econml_side(train, data["X_test"], int(data["trees"]), int(data["seed"]), bool(data["binary"]))
    np.savez(path_out, **result)


def run_econml(python, train, X_test, trees, seed, binary):
    with tempfile.TemporaryDirectory() as folder:
        path_in, path_out = Path(folder) / "in.npz", Path(folder) / "out.npz"
        X, W, T, Y, _ = train
        np.savez(path_in, X=X, W=W, T=T, Y=Y, X_test=X_test, trees=trees, seed=seed, binary=binary)
        subprocess.run([python, "-W", "ignore", __file__, "--worker", str(path_in), str(path_out)], check=True)
        with np.load(path_out) as out:
            return {name: out[name] for name in out.files}


def scores(result, truth):
    covered = (result["lower"] <= truth) & (truth <= result["upper"])
    return {"mse": float(np.mean((result["effect"] - truth) ** 2)), "coverage": float(np.mean(covered)),
            "fit": float(result["fit"])}


def econml_version(python):
    out = subprocess.run([python, "-c", "import econml; print(econml.__version__)"], capture_output=True, text=True)
    return out.stdout.strip() or "unavailable"


METHODS = {
    "forest": ("korvane, model_y/model_t=\"forest\"", lambda run: korvane_side(*run, "forest")),
    "auto": ("korvane, model_y/model_t=\"auto\"", lambda run: korvane_side(*run, "auto")),
    "lasso": ("korvane + lasso (Y_hat/W_hat)", lambda run: korvane_side(*run, "lasso")),
}


def choices(runs):
    """How often "auto" picked each nuisance model, e.g. "y: linear 3; t: forest 2, linear 1"."""
    picked = [r["choice"] for r in runs if "choice" in r]
    if not picked:
        return ""
    parts = []
    for key, short in (("y", "y"), ("treatment", "t")):
        names = sorted({p[key] for p in picked})
        parts.append(f"{short}: " + ", ".join(f"{n} {sum(p[key] == n for p in picked)}" for n in names))
    return "; ".join(parts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--trees", type=int, default=400)
    parser.add_argument("--econml-python", default=str(HERE.parent / ".venv-econml" / "bin" / "python"))
    parser.add_argument("--only", default="")
    parser.add_argument("--methods", default="forest,auto,lasso,econml",
                        help="comma-separated: forest, auto, lasso (korvane) and econml")
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(*args.worker)
        return
    methods = args.methods.split(",")
    print(f"EconML {econml_version(args.econml_python)}, {args.trees} trees, {args.reps} repetitions, "
          f"{N_TEST} test rows, {THREADS} threads")
    print("| setup | n | method | MSE | coverage | fit s | EconML fit / fit | nuisances picked |")
    print("|---|---:|---|---:|---:|---:|---:|---|")
    for name, simulate in SETUPS.items():
        if args.only not in name:
            continue
        rows = {method: [] for method in methods}
        for rep in range(args.reps):
            rng = np.random.default_rng(1000 + rep)
            train, test = simulate(rng)
            truth = test[4]
            binary = name != "econml-continuous"
            for method in methods:
                if method == "econml":
                    result = run_econml(args.econml_python, train, test[0], args.trees, rep, binary)
                else:
                    result = METHODS[method][1]((train, test[0], args.trees, rep))
                rows[method].append(scores(result, truth) | ({"choice": result["choice"]} if "choice" in result else {}))
        econml_fit = float(np.mean([r["fit"] for r in rows["econml"]])) if "econml" in rows else float("nan")
        for method, runs in rows.items():
            mean = {k: float(np.mean([r[k] for r in runs])) for k in ("mse", "coverage", "fit")}
            label = "EconML CausalForestDML" if method == "econml" else METHODS[method][0]
            print(f"| {name} | {len(train[0])} | {label} | {mean['mse']:.4f} | {mean['coverage']:.3f} | "
                  f"{mean['fit']:.2f} | {econml_fit / mean['fit']:.1f}x | {choices(runs)} |", flush=True)


if __name__ == "__main__":
    sys.exit(main())
