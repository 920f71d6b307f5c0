"""``python -m vicatools``: see `vicatools.cli`."""
from vicatools.cli import run

if __name__ == "__main__":
    run()
