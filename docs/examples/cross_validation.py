"""Choose the leaf size of a random survival forest by cross-validation.

The veteran data come as a pandas data frame with categorical columns; a
scikit-learn pipeline one-hot encodes them before the forest, and grid search
scores each leaf size by Harrell's C (the estimators' `score`) over five folds.
"""

from sklearn.compose import make_column_transformer
from sklearn.model_selection import GridSearchCV, KFold, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder

from korvane import RandomSurvivalForest
from korvane.datasets import load_veteran

X, y = load_veteran(as_frame=True)  # y: structured array of ("event", "time")

encode = make_column_transformer(
    (OneHotEncoder(drop="first"), ["trt", "celltype", "prior"]),
    remainder="passthrough",
)
pipeline = make_pipeline(encode, RandomSurvivalForest(n_estimators=100, random_state=0))
folds = KFold(n_splits=5, shuffle=True, random_state=0)

scores = cross_val_score(pipeline, X, y, cv=folds)
print(f"Harrell's C over 5 folds: {scores.mean():.3f} +/- {scores.std():.3f}")

search = GridSearchCV(pipeline, {"randomsurvivalforest__min_samples_leaf": [3, 10, 20]}, cv=folds)
search.fit(X, y)
for leaf, score in zip(search.cv_results_["param_randomsurvivalforest__min_samples_leaf"],
                       search.cv_results_["mean_test_score"]):
    print(f"min_samples_leaf={leaf}: mean C {score:.3f}")
print("best:", search.best_params_)
