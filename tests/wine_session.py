"""Starts or stops the Wine session that the tests of one run share.

"start" creates the private prefix named by WINEPREFIX (once; later runs
reuse it), keeps one Wine server alive for the run and starts Wine's
background services detached from every test's pipes; "stop" ends them.
"""
import os
import subprocess
import sys


def wine(*args, timeout=300):
    subprocess.run(list(args), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=timeout, check=False)


def main():
    prefix = os.environ["WINEPREFIX"]
    if sys.argv[1:] == ["start"]:
        os.makedirs(prefix, exist_ok=True)
        wine("wineserver", "-p")
        wine("wineboot", "-i")
        wine("wine", "cmd", "/c", "exit")
    elif sys.argv[1:] == ["stop"]:
        wine("wineserver", "-k", timeout=60)
    else:
        sys.exit("usage: wine_session.py start|stop")


if __name__ == "__main__":
    main()
