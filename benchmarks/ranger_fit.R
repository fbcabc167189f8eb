# One ranger measurement in a fresh process; the R side of workers.py.
#
#   Rscript ranger_fit.R DATA_DIR HAZARD_OUT REPS BUDGET N_TREES MIN_LEAF MTRY THREADS SEED
#
# Reads the split written by casefiles.py, times fit and predict repetition
# after repetition until REPS are done or the next one would overrun BUDGET
# seconds, writes the last prediction on the shared time grid (row-major
# float64) to HAZARD_OUT and prints one JSON line with the timings.

suppressPackageStartupMessages({
  library(ranger)
  library(survival)
})

args <- commandArgs(trailingOnly = TRUE)
data_dir <- args[1]
hazard_out <- args[2]
settings <- as.numeric(args[3:9])
names(settings) <- c("reps", "budget", "n_trees", "min_leaf", "mtry", "threads", "seed")

peak_rss_kb <- function() {
  line <- grep("^VmHWM:", readLines("/proc/self/status"), value = TRUE)
  as.numeric(gsub("[^0-9]", "", line))
}

read_f64 <- function(name, count) {
  readBin(file.path(data_dir, name), "double", n = count, size = 8, endian = "little")
}

dims <- scan(file.path(data_dir, "dims.txt"), quiet = TRUE)
n_train <- dims[1]
n_test <- dims[2]
n_features <- dims[3]
n_times <- dims[4]
feature_names <- paste0("x", seq_len(n_features))
x_train <- matrix(read_f64("X_train.f64", n_train * n_features), n_train, n_features,
                  dimnames = list(NULL, feature_names))
x_test <- matrix(read_f64("X_test.f64", n_test * n_features), n_test, n_features,
                 dimnames = list(NULL, feature_names))
y_train <- Surv(read_f64("time_train.f64", n_train), read_f64("event_train.f64", n_train))
times <- read_f64("times.f64", n_times)
rss_base_kb <- peak_rss_kb()

# In 0.14.1 min.node.size is the smallest leaf of a survival tree, counted in
# bootstrap occurrences. oob.error = FALSE: the other sides compute no
# out-of-bag error either.
fit_forest <- function() {
  ranger(x = x_train, y = y_train, num.trees = settings[["n_trees"]],
         mtry = settings[["mtry"]], min.node.size = settings[["min_leaf"]],
         replace = TRUE, sample.fraction = 1, splitrule = "logrank",
         num.threads = settings[["threads"]], seed = settings[["seed"]],
         oob.error = FALSE, verbose = FALSE)
}

# ranger answers on its own grid of death times; read those steps at `times`.
predict_hazard <- function(forest) {
  prediction <- predict(forest, data = x_test, num.threads = settings[["threads"]], verbose = FALSE)
  index <- findInterval(times, prediction$unique.death.times)
  hazard <- matrix(0, n_test, n_times)
  hazard[, index > 0] <- prediction$chf[, index[index > 0], drop = FALSE]
  hazard
}

elapsed <- function() proc.time()[["elapsed"]]

fit_seconds <- c()
predict_seconds <- c()
started <- elapsed()
repeat {
  forest <- NULL
  t0 <- elapsed()
  forest <- fit_forest()
  t1 <- elapsed()
  hazard <- predict_hazard(forest)
  t2 <- elapsed()
  fit_seconds <- c(fit_seconds, t1 - t0)
  predict_seconds <- c(predict_seconds, t2 - t1)
  if (length(fit_seconds) >= settings[["reps"]] || (t2 - started) + (t2 - t0) > settings[["budget"]]) break
}

writeBin(as.vector(t(hazard)), hazard_out, size = 8, endian = "little")
json_list <- function(values) paste(sprintf("%.6f", values), collapse = ", ")
cat(sprintf('{"rss_base_kb": %d, "rss_peak_kb": %d, "fit": [%s], "predict": [%s]}\n',
            as.integer(rss_base_kb), as.integer(peak_rss_kb()), json_list(fit_seconds),
            json_list(predict_seconds)))
