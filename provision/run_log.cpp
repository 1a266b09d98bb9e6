// run_log
