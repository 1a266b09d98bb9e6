// run_driver
