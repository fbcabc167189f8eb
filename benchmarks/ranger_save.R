# ranger's saved forest for the persistence benchmark; the R side of persistence.py.
#
#   Rscript ranger_save.R DATA_DIR OUT_FILE REPS N_TREES MIN_LEAF MTRY THREADS SEED
#
# Fits one forest on the training part of the split written by casefiles.py
# (settings as in ranger_fit.R), then times saveRDS of the fitted forest (R's
# default gzip compression) and readRDS, REPS times each, and prints one JSON
# line: the file's size and the timings.

suppressPackageStartupMessages({
  library(ranger)
  library(survival)
})

args <- commandArgs(trailingOnly = TRUE)
data_dir <- args[1]
out_file <- args[2]
settings <- as.numeric(args[3:8])
names(settings) <- c("reps", "n_trees", "min_leaf", "mtry", "threads", "seed")

read_f64 <- function(name, count) {
  readBin(file.path(data_dir, name), "double", n = count, size = 8, endian = "little")
}

dims <- scan(file.path(data_dir, "dims.txt"), quiet = TRUE)
n_train <- dims[1]
n_features <- dims[3]
x_train <- matrix(read_f64("X_train.f64", n_train * n_features), n_train, n_features,
                  dimnames = list(NULL, paste0("x", seq_len(n_features))))
y_train <- Surv(read_f64("time_train.f64", n_train), read_f64("event_train.f64", n_train))

fit_start <- proc.time()[["elapsed"]]
forest <- ranger(x = x_train, y = y_train, num.trees = settings[["n_trees"]],
                 mtry = settings[["mtry"]], min.node.size = settings[["min_leaf"]],
                 replace = TRUE, sample.fraction = 1, splitrule = "logrank",
                 num.threads = settings[["threads"]], seed = settings[["seed"]],
                 oob.error = FALSE, verbose = FALSE)
fit_seconds <- proc.time()[["elapsed"]] - fit_start

timed <- function(action) {
  sapply(seq_len(settings[["reps"]]), function(i) {
    t0 <- proc.time()[["elapsed"]]
    action()
    proc.time()[["elapsed"]] - t0
  })
}

save_seconds <- timed(function() saveRDS(forest, out_file))
load_seconds <- timed(function() readRDS(out_file))
json_list <- function(values) paste(sprintf("%.6f", values), collapse = ", ")
cat(sprintf('{"bytes": %.0f, "fit": %.6f, "save": [%s], "load": [%s]}\n', file.size(out_file),
            fit_seconds, json_list(save_seconds), json_list(load_seconds)))
