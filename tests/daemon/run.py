"""Runs one test module: status 1 when a case failed, 77 (shown as skipped) when a case
skipped and none failed, else 0."""
import sys
import unittest

if __name__ == "__main__":
    suite = unittest.defaultTestLoader.loadTestsFromName(sys.argv[1])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(77 if result.skipped else 0)
