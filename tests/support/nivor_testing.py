"""What the Python test programs share."""
import os
import sys

SKIP = 77  # ctest's SKIP_RETURN_CODE for these tests


def require_root(why):
    """Skips the whole program without root, except on CI, where it must fail instead."""
    if os.geteuid() == 0:
        return
    if os.environ.get("CI") == "true":
        sys.exit(f"these tests need root ({why}), and CI must run them")
    print(f"SKIP: these tests need root ({why})")
    sys.exit(SKIP)
