"""Runs every benchmark in one process and prints the ratios against NumPy and PyTorch."""

import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

SUITES = ["bench_elementwise", "bench_matmul", "bench_autograd"]


def main():
    for name in SUITES:
        print(f"== {name} ==")
        importlib.import_module(name).main()
        print()


if __name__ == "__main__":
    main()
