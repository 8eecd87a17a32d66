"""Runs one benchmark scenario in this process and prints its result as the
last line of standard output: RESULT {json}. Each scenario gets a process of
its own so that its memory, page cache and profile counters start clean.

Usage: worker.py SCENARIO JSON_ARGUMENTS
"""

import importlib
import json
import sys


def main():
    name, arguments = sys.argv[1], json.loads(sys.argv[2])
    result = importlib.import_module(f"scenarios.{name}").run(**arguments)
    print("RESULT " + json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
