"""kelvane-log: one record per Kelvane run from gathered Run logs.

reader.py reads a log's bytes into records; gather.py finds the logs in
gathered folders; outputs.py and page.py write records and the yield report;
the store package keeps them in the fleet database (its schema, ingest,
figures and each engine in a module of its own); check.py judges the
figures for --check; serials.py knows a placeholder serial; cli.py is the
command line.
"""
