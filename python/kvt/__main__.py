"""`python -m kvt`: the kvt command line."""

from kvt.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
