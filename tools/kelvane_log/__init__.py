"""kelvane-log: one record per Kelvane run from gathered Run logs.

reader.py reads a log's bytes into records; gather.py finds the logs in
gathered folders; outputs.py and page.py write records and the yield report;
store.py keeps them in the fleet database; cli.py is the command line.
"""
