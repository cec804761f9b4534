"""Command line entry point: ``python -m fenro <command> [options]``."""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m fenro",
        description="fenro command line tools.",
    )
    commands = parser.add_subparsers(dest="command", metavar="command")
    demo = commands.add_parser(
        "demo",
        help="simulate federated training under Byzantine attacks",
        description="Simulate federated training under Byzantine attacks and compare "
        "the aggregation rules (needs the 'demo' extra: pip install 'fenro[demo]').",
    )
    # Imported lazily so that the package itself never needs the demo's extras.
    from fenro import demo as demo_module

    demo_module.add_arguments(demo)
    args = parser.parse_args(argv)
    if args.command == "demo":
        return demo_module.run_cli(args)
    parser.print_help(sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
